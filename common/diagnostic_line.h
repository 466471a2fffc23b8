// The lines a tool writes to standard error. Each tool keeps every one of its
// lines in one table (velloc_lines.h, corvane_lines.h), and the manual pages
// are checked against those tables.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/process_control.h"

namespace pcm {

// A line's text, with "{}" where a value made at run time goes.
struct Line {
  std::string_view text;
};

// A line after which the tool ends with `status`.
struct EndingLine {
  std::string_view text;
  int status;
};

std::string fill(std::string_view text, std::initializer_list<std::string_view> values);

void say(ProcessControl& process, Line line, std::initializer_list<std::string_view> values = {});
[[noreturn]] void end(ProcessControl& process, EndingLine line,
                      std::initializer_list<std::string_view> values = {});

}  // namespace pcm
