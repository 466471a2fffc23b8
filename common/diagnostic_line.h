// Each tool keeps every line it writes in one table (velloc_lines.h, corvane_lines.h), against
// which the manual pages are checked.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/process_control.h"

namespace pcm {

// "{}" where a value made at run time goes.
struct Line {
  std::string_view text;
};

struct EndingLine {
  std::string_view text;
  int status;
};

std::string fill(std::string_view text, std::initializer_list<std::string_view> values);

void say(ProcessControl& process, Line line, std::initializer_list<std::string_view> values = {});
[[noreturn]] void end(ProcessControl& process, EndingLine line,
                      std::initializer_list<std::string_view> values = {});

}  // namespace pcm
