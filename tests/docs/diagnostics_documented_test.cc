// Each tool's manual page lists every line the tool can write to standard
// error, with the status a line that ends the process ends it with, and lists
// no line the tool cannot write.
//
// A line in the sources is a chain of operands joined by `+`, at least one of
// them a string literal, whose last operand is a literal ending in a newline
// (a diagnostic written in two pieces is joined to the line that follows it).
// Operands that are not literals stand for text filled in at run time and may
// be written as anything in the page, {name} or an example value.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = PROJECT_SOURCE_DIR;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---- The sources ----

struct Token {
  enum Kind { literal, other } kind;
  std::string text;  // a literal's value, escapes decoded
};

std::string decodeLiteral(const std::string& source, std::size_t& i) {
  std::string value;
  for (++i; i < source.size() && source[i] != '"'; ++i) {
    if (source[i] != '\\') {
      value += source[i];
      continue;
    }
    const char c = source[++i];
    value += c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  ++i;
  return value;
}

std::vector<Token> tokenize(const std::string& source) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  const auto skipTo = [&](const char* end) {
    const std::size_t at = source.find(end, i);
    i = at == std::string::npos ? source.size() : at + std::char_traits<char>::length(end);
  };
  while (i < source.size()) {
    const char c = source[i];
    const std::string two = source.substr(i, 2);
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (two == "//" || c == '#') {
      skipTo("\n");
    } else if (two == "/*") {
      skipTo("*/");
    } else if (c == '"') {
      std::string value = decodeLiteral(source, i);
      if (!tokens.empty() && tokens.back().kind == Token::literal) {
        tokens.back().text += value;  // adjacent literals are one
      } else {
        tokens.push_back({Token::literal, std::move(value)});
      }
    } else if (c == '\'') {
      const std::size_t start = i;
      for (++i; i < source.size() && source[i] != '\''; ++i) i += source[i] == '\\';
      tokens.push_back({Token::other, source.substr(start, ++i - start)});
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      const std::size_t start = i;
      while (i < source.size() && (std::isalnum(static_cast<unsigned char>(source[i])) ||
                                   source[i] == '_' || source[i] == '\'')) {
        ++i;
      }
      tokens.push_back({Token::other, source.substr(start, i - start)});
    } else {
      static const std::set<std::string> pairs = {
          "::", "->", "+=", "++", "==", "!=", "<=", ">=", "&&", "||"};
      const bool pair = pairs.contains(two);
      tokens.push_back({Token::other, pair ? two : std::string(1, c)});
      i += pair ? 2 : 1;
    }
  }
  return tokens;
}

bool is(const std::vector<Token>& tokens, std::size_t i, const char* text) {
  return i < tokens.size() && tokens[i].kind == Token::other && tokens[i].text == text;
}

bool isNumber(const std::vector<Token>& tokens, std::size_t i) {
  return i < tokens.size() && tokens[i].kind == Token::other &&
         std::isdigit(static_cast<unsigned char>(tokens[i].text[0]));
}

struct SourceLine {
  std::string text;                   // placeholders as {}
  std::string pattern;                // a regular expression for the page's line
  std::optional<std::string> status;  // when the line ends the process
  std::string where;
};

std::string regexEscaped(const std::string& text) {
  static const std::string special = "\\^$.|?*+()[]{}";
  std::string out;
  for (const char c : text) {
    if (special.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// The status an exit right after the line gives: from `fatal(..., line, N)`, or
// from the first exitProcess(N) before the block ends or another line is written.
std::optional<std::string> statusAfter(const std::vector<Token>& tokens, std::size_t end) {
  if (is(tokens, end, ",") && isNumber(tokens, end + 1) && is(tokens, end + 2, ")")) {
    return tokens[end + 1].text;
  }
  int depth = 0;
  for (std::size_t j = end; j < tokens.size(); ++j) {
    if (is(tokens, j, "{")) ++depth;
    if ((is(tokens, j, "}") && --depth < 0) || is(tokens, j, "writeDiagnostic") ||
        is(tokens, j, "return")) {
      return std::nullopt;
    }
    if (is(tokens, j, "exitProcess") && is(tokens, j + 1, "(") && isNumber(tokens, j + 2)) {
      return tokens[j + 2].text;
    }
  }
  return std::nullopt;
}

void collectLines(const fs::path& file, std::vector<SourceLine>& lines) {
  const std::vector<Token> tokens = tokenize(readFile(file));
  static const std::set<std::string> chainStarts = {"(", ",", "=", "return", "{", ";", "?", ":"};
  static const std::set<std::string> chainEnds = {")", "]", "}", ",", ";", "?", ":"};
  SourceLine pending;  // a written piece that does not end its line
  for (std::size_t start = 1; start < tokens.size(); ++start) {
    if (tokens[start - 1].kind != Token::other || !chainStarts.contains(tokens[start - 1].text)) {
      continue;
    }
    SourceLine chain = pending;
    bool hasLiteral = false, endsLine = false;
    std::size_t i = start;
    while (i < tokens.size()) {
      // One operand: up to a `+` or the chain's end, outside brackets.
      const std::size_t first = i;
      int depth = 0;
      for (; i < tokens.size(); ++i) {
        const bool other = tokens[i].kind == Token::other;
        if (other && depth == 0 && (tokens[i].text == "+" || chainEnds.contains(tokens[i].text))) {
          break;
        }
        if (other && (tokens[i].text == "(" || tokens[i].text == "[" || tokens[i].text == "{")) {
          ++depth;
        }
        if (other && (tokens[i].text == ")" || tokens[i].text == "]" || tokens[i].text == "}")) {
          --depth;
        }
      }
      // A literal, or a literal made into a string: std::string("...").
      const bool wrapped = i - first >= 4 && tokens[i - 2].kind == Token::literal &&
                           is(tokens, i - 3, "(") && is(tokens, i - 1, ")");
      if (i - first == 1 && tokens[first].kind == Token::literal) {
        chain.text += tokens[first].text;
        chain.pattern += regexEscaped(tokens[first].text);
        hasLiteral = true;
        endsLine = tokens[first].text.ends_with('\n');
      } else if (wrapped) {
        chain.text += tokens[i - 2].text;
        chain.pattern += regexEscaped(tokens[i - 2].text);
        hasLiteral = true;
        endsLine = false;
      } else {
        chain.text += "{}";
        chain.pattern += ".*";  // an inserted value (a prefix, a reason) may be empty
        endsLine = false;
      }
      if (!is(tokens, i, "+")) break;
      ++i;
    }
    if (!hasLiteral) continue;
    const bool written = start >= 2 && is(tokens, start - 2, "writeDiagnostic");
    if (endsLine) {
      chain.text.pop_back();
      chain.pattern.pop_back();
      chain.status = statusAfter(tokens, i);
      chain.where = fs::relative(file, kRoot).string();
      lines.push_back(chain);
      pending = {};
    } else if (written) {
      pending = chain;
    }
  }
}

// Every line the sources can write, by the tool that writes it: the folder
// says, and in code both tools share, velloc's tag.
std::vector<SourceLine> sourceLines(const std::string& tool) {
  std::vector<SourceLine> all;
  for (const char* dir : {"common", "microphone", "system_audio", "platform"}) {
    for (const auto& entry : fs::recursive_directory_iterator(kRoot / dir)) {
      const fs::path& path = entry.path();
      // The sanitizer's settings write no tool lines.
      if ((path.extension() != ".cc" && path.extension() != ".h") ||
          path.filename() == "tsan_suppressions.cc") {
        continue;
      }
      std::vector<SourceLine> lines;
      collectLines(path, lines);
      for (auto& line : lines) {
        const std::string top = *fs::relative(path, kRoot).begin();
        // What common/ writes, both tools write.
        const bool velloc =
            top == "microphone" || (top != "system_audio" && line.text.starts_with("[tamsel] "));
        if (top == "common" || velloc == (tool == "velloc")) all.push_back(std::move(line));
      }
    }
  }
  return all;
}

// ---- The page ----

// Roff text as it reads: font changes dropped, escapes turned into characters.
std::string plainText(const std::string& roff) {
  std::string out;
  for (std::size_t i = 0; i < roff.size(); ++i) {
    if (roff[i] != '\\' || i + 1 == roff.size()) {
      out += roff[i];
      continue;
    }
    char c = roff[++i];
    const bool font = c == 'f';
    if (font) c = roff[++i];
    std::string name;
    if (c == '(') {
      name = roff.substr(i + 1, 2);
      i += 2;
    } else if (c == '[') {
      const std::size_t close = roff.find(']', i);
      name = roff.substr(i + 1, close - i - 1);
      i = close;
    } else if (!font) {
      out += c == 'e' ? "\\" : c == '&' ? "" : std::string(1, c);  // \- and "\ " too
    }
    if (font || name.empty()) continue;
    out += name == "em"   ? "\u2014"
           : name == "->" ? "\u2192"
           : name == "dq" ? "\""
                          : "\\[" + name + "]";
  }
  return out;
}

struct Entry {
  std::string line;
  std::string text;
};

struct Page {
  std::vector<Entry> diagnostics;
  std::set<std::string> statuses;
};

// The DIAGNOSTICS section's entries (each .TP tag is a line, and what follows
// up to the next one says what it means) and the statuses that EXIT STATUS
// lists (its .TP tags).
Page readPage(const std::string& tool) {
  Page page;
  std::istringstream in(readFile(kRoot / "man" / (tool + ".1")));
  std::string section, roff;
  bool tagNext = false;
  while (std::getline(in, roff)) {
    if (roff.starts_with(".\\\"")) continue;
    if (roff.starts_with(".SH ")) section = roff.substr(4);
    if (roff == ".TP") {
      tagNext = true;
      continue;
    }
    // A macro line's text is its arguments.
    const std::size_t space = roff.find(' ');
    const std::string text = plainText(!roff.starts_with(".")       ? roff
                                       : space == std::string::npos ? ""
                                                                    : roff.substr(space + 1));
    if (tagNext && section == "DIAGNOSTICS") {
      page.diagnostics.push_back({text, ""});
    } else if (tagNext && section == "EXIT STATUS") {
      page.statuses.insert(text);
    } else if (section == "DIAGNOSTICS" && !page.diagnostics.empty()) {
      page.diagnostics.back().text += " " + text;
    }
    tagNext = false;
  }
  return page;
}

void expectPageListsEveryLine(const std::string& tool) {
  const std::vector<SourceLine> lines = sourceLines(tool);
  const Page page = readPage(tool);
  // Fewer would mean the scan above no longer sees the sources' lines.
  ASSERT_GE(lines.size(), 6u);
  ASSERT_FALSE(page.diagnostics.empty());

  std::set<std::string> statuses = {"0"};  // a stop signal
  for (const SourceLine& line : lines) {
    if (line.status) statuses.insert(*line.status);
    const std::regex pattern(line.pattern);
    const Entry* listed = nullptr;
    for (const Entry& entry : page.diagnostics) {
      if (std::regex_match(entry.line, pattern)) listed = &entry;
    }
    if (listed == nullptr) {
      ADD_FAILURE() << "man/" << tool << ".1 does not list this line from " << line.where
                    << " ({} is filled in at run time):\n"
                    << line.text;
      continue;
    }
    if (!line.status) continue;
    EXPECT_TRUE(std::regex_search(listed->text, std::regex("status " + *line.status + "\\b")))
        << "man/" << tool << ".1 should say the line ends " << tool << " with status "
        << *line.status << ":\n"
        << listed->line;
  }
  EXPECT_EQ(page.statuses, statuses) << "EXIT STATUS in man/" << tool << ".1";

  for (const Entry& entry : page.diagnostics) {
    bool written = false;
    for (const SourceLine& line : lines) {
      written = written || std::regex_match(entry.line, std::regex(line.pattern));
    }
    EXPECT_TRUE(written) << "man/" << tool << ".1 lists a line " << tool << " no longer writes:\n"
                         << entry.line;
  }
}

TEST(ManualPage, VellocListsEveryLineAndStatus) { expectPageListsEveryLine("velloc"); }

TEST(ManualPage, CorvaneListsEveryLineAndStatus) { expectPageListsEveryLine("corvane"); }

}  // namespace
