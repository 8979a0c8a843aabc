// An output file of a run: the results or the annotated video.
#ifndef VIZMORO_CLI_OUTPUT_HPP
#define VIZMORO_CLI_OUTPUT_HPP

#include <string>

#include "output_files.hpp"

namespace vizmoro_cli {

// Written under a temporary name and put in place at the end when it is a regular file (or none
// yet), written directly when it is a device, a pipe or a socket.
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();

  // Creates the temporary, or returns `path` itself to be written directly. `what` names it in
  // messages. Throws Failure (kExitOutput) when it cannot be written.
  std::string Prepare(const std::string& path, bool keepExtension, const std::string& what);
  // The temporary's descriptor (-1 when written directly); the caller takes it over.
  int TakeDescriptor();
  bool Replaces() const { return !replaced_.temporary().empty(); }
  const std::string& Temporary() const { return replaced_.temporary(); }
  bool Commit() { return !Replaces() || replaced_.Commit(); }
  void Discard() { replaced_.Discard(); }

 private:
  vizmoro::ReplacedFile replaced_;
  int fd_ = -1;
};

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_OUTPUT_HPP
