"""Builds the Python module with this project's CMake build, for pip:

    python3 -m venv --system-site-packages venv
    venv/bin/pip install --no-index --no-build-isolation .

The module is the CMake target _vizmoro, built for the interpreter that runs pip with the engine
linked in statically, so the installed package needs nothing of this tree. CMake builds in
build-pip/ (or in VIZMORO_PIP_BUILD_DIR), which later installs reuse; CMAKE_BUILD_TYPE,
CMAKE_BUILD_PARALLEL_LEVEL and CMAKE_CXX_COMPILER_LAUNCHER in the environment are CMake's own.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
BUILD = Path(os.environ.get("VIZMORO_PIP_BUILD_DIR") or ROOT / "build-pip").resolve()


def project_version():
    """The version that project() gives in CMakeLists.txt, the one source of it."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*vizmoro\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        tree = BUILD / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tree), "-DBUILD_SHARED_LIBS=OFF",
                        "-DVIZMORO_TESTS=OFF", "-DVIZMORO_PYTHON=ON",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(tree), "--target", "_vizmoro", "--parallel", jobs],
                       check=True)
        built = list((tree / "python" / "vizmoro").glob("_vizmoro.*"))
        if len(built) != 1:
            raise RuntimeError(f"CMake built {len(built)} modules _vizmoro.* in {tree}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


# Everything setuptools writes goes below BUILD too: nothing lands in the source tree.
BUILD.mkdir(parents=True, exist_ok=True)
setup(
    version=project_version(),
    packages=["vizmoro"],
    package_dir={"": "python"},
    package_data={"vizmoro": ["py.typed", "__init__.pyi"]},
    ext_modules=[Extension("vizmoro._vizmoro", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
    options={"build": {"build_base": str(BUILD / "setuptools")},
             "egg_info": {"egg_base": str(BUILD)}},
)
