#include "common/diagnostic_line.h"

#include <cstdlib>

namespace pcm {

std::string fill(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string line;
  auto value = values.begin();
  for (std::size_t at = 0;;) {
    const std::size_t hole = text.find("{}", at);
    if (hole == std::string_view::npos || value == values.end()) {
      line += text.substr(at);
      return line;
    }
    line.append(text, at, hole - at).append(*value++);
    at = hole + 2;
  }
}

void say(ProcessControl& process, Line line, std::initializer_list<std::string_view> values) {
  process.writeDiagnostic(fill(line.text, values));
}

void end(ProcessControl& process, EndingLine line, std::initializer_list<std::string_view> values) {
  process.writeDiagnostic(fill(line.text, values));
  process.exitProcess(line.status);
  std::abort();  // not reached; [[noreturn]] is not carried through the virtual call
}

}  // namespace pcm
