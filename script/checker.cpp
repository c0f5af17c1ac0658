// Compiler: cuts the script text into tokens and literal tables, then
// checks the block structure and builds function records and globals.
#include <cstdio>
#include <cstring>

#include "script/script_engine.h"
#include "script/script_messages.h"

namespace korvel {

namespace {

constexpr char kSeparators[] = " ()<>!=+-*/&|";

bool IsSeparator(char c) { return c != '\0' && std::strchr(kSeparators, c) != nullptr; }

bool Equals(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// A fixed line-sized buffer that refuses to grow past its end and remembers
// that it did, so a cut line is reported rather than compiled.
struct LineText {
  char data[ScriptEngine::kLineBufferSize];
  std::size_t length;
  bool overflowed;

  void Clear() {
    std::memset(data, 0, sizeof data);
    length = 0;
    overflowed = false;
  }
  void Append(char c) {
    if (length + 1 < sizeof data) {
      data[length++] = c;
    } else {
      overflowed = true;
    }
  }
  void Append(const char* text) {
    while (*text) Append(*text++);
  }
};

char TranslateEscape(char c) {
  switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return c;  // quote, backslash, and anything unknown stand for themselves
  }
}

ScriptEngine::OwnedText CopyText(const char* text) {
  const std::size_t length = std::strlen(text);
  ScriptEngine::OwnedText copy(new char[length + 1]);
  std::memcpy(copy.get(), text, length + 1);
  return copy;
}

}  // namespace

struct ScriptEngine::CompileBuffers {
  LineText line;
  LineText rewrite;
  LineText literal;
};

bool ScriptEngine::CompileScript(const char* text) {
  if (!text) text = "";
  const std::size_t firstToken = tokenList_.size();
  auto buffers = std::make_unique<CompileBuffers>();

  // A UTF-8 byte-order mark, as some editors write at the start of a file,
  // is not part of the script.
  std::size_t pos = std::strncmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
  if (text[pos] != '\0') {
    for (;;) {
      std::size_t n = 0;
      while (text[pos + n] != '\0' && text[pos + n] != '\n') ++n;
      if (n >= kLineBufferSize) return FailCompile(script_text::kLineTooLong);
      if (n > 0 && !CompileLine(text + pos, n, *buffers)) return FailCompile(script_text::kRewrittenLineTooLong);
      const std::size_t end = pos + n;
      if (text[end] == '\0' || text[end + 1] == '\0') break;
      pos = end + 1;
    }
  }
  return CheckTokens(firstToken);
}

bool ScriptEngine::FailCompile(const char* message) {
  AddMessage(message);
  ClearCompiled();
  return false;
}

// False when the line with its literals replaced by markers no longer fits
// the line buffer: cutting it could cut a marker and name the wrong literal.
bool ScriptEngine::CompileLine(const char* source, std::size_t length, CompileBuffers& b) {
  b.line.Clear();
  std::memcpy(b.line.data, source, length);
  b.line.length = length;

  // Blanks, line ends and comments.
  for (std::size_t i = 0; i < length; ++i) {
    char& c = b.line.data[i];
    if (c == '\t') {
      c = ' ';
    } else if (c == '\r' || c == '\n' || c == '#') {
      c = '\0';
      break;
    }
  }

  // String literals go to the string table; a marker token takes their place.
  // An unterminated literal drops the rest of the line.
  b.rewrite.Clear();
  b.literal.Clear();
  bool inside = false;
  bool escape = false;
  char marker[32];
  for (const char* p = b.line.data; *p; ++p) {
    const char c = *p;
    if (escape) {
      b.literal.Append(TranslateEscape(c));
      escape = false;
    } else if (c == '"' && !inside) {
      inside = true;
      b.literal.Clear();
    } else if (c == '"') {
      inside = false;
      std::snprintf(marker, sizeof marker, script_text::kStringMarker,
                    static_cast<int>(stringTable_.size()));
      stringTable_.push_back(CopyText(b.literal.data));
      b.rewrite.Append(marker);
    } else if (c == '\\' && inside) {
      escape = true;
    } else if (inside) {
      b.literal.Append(c);
    } else {
      b.rewrite.Append(c);
    }
  }
  if (b.rewrite.overflowed) return false;
  std::swap(b.line, b.rewrite);

  // Message literals in brackets, likewise. A stray "]" makes an empty one.
  b.rewrite.Clear();
  b.literal.Clear();
  inside = false;
  for (const char* p = b.line.data; *p; ++p) {
    const char c = *p;
    if (c == '[') {
      b.literal.Clear();
      inside = true;
    } else if (c == ']') {
      std::snprintf(marker, sizeof marker, script_text::kMessageMarker,
                    static_cast<int>(messageTable_.size()));
      messageTable_.push_back(CopyText(inside ? b.literal.data : ""));
      inside = false;
      b.rewrite.Append(marker);
    } else if (inside) {
      b.literal.Append(c);
    } else {
      b.rewrite.Append(c);
    }
  }
  if (b.rewrite.overflowed) return false;

  // Lower-case everything but the character after an "@", so markers keep
  // their capital S and M.
  char* text = b.rewrite.data;
  for (std::size_t i = 0; text[i]; ++i) {
    if (text[i] == '@') {
      if (text[i + 1]) ++i;
    } else if (text[i] >= 'A' && text[i] <= 'Z') {
      text[i] = static_cast<char>(text[i] - 'A' + 'a');
    }
  }

  std::size_t i = 0;
  while (text[i]) {
    std::size_t k = 0;
    while (text[i + k] && !IsSeparator(text[i + k])) ++k;
    if (k == 0) {
      k = 1;
      if (text[i] == ' ' || JoinOperator(text[i])) {
        ++i;
        continue;
      }
    }
    AppendToken(text + i, k);
    i += k;
  }
  return true;
}

// Tokens get three spare zero bytes so a one-character operator can grow
// into a two-character one in place.
void ScriptEngine::AppendToken(const char* start, std::size_t length) {
  OwnedText token(new char[length + 3]());
  std::memcpy(token.get(), start, length);
  tokenList_.push_back(std::move(token));
}

bool ScriptEngine::JoinOperator(char c) {
  if (tokenList_.empty()) return false;
  char* last = tokenList_.back().get();
  if (last[0] == '\0' || last[1] != '\0') return false;
  const char p = last[0];
  const bool pairs = (c == '&' && p == '&') || (c == '|' && p == '|') ||
                     (c == '=' && (p == '=' || p == '!' || p == '>' || p == '<')) ||
                     (c == '>' && p == '>');
  if (pairs) last[1] = c;
  return pairs;
}

bool ScriptEngine::CheckTokens(std::size_t first) {
  bool inBody = false;
  int brackets = 0;
  int ifs = 0;
  int dos = 0;
  for (std::size_t i = first; i < tokenList_.size(); ++i) {
    const char* token = tokenList_[i].get();
    if (Equals(token, "var")) {
      if (++i >= tokenList_.size()) break;  // no name to take
      const char* name = tokenList_[i].get();
      if (inBody) {
        FunctionRecord& record = functionList_.back();
        record.localNames.push_back(name);
        ++record.localCount;
      } else {
        globalNames_.push_back(name);
        globalValues_.push_back(ScriptValue::MakeInteger(0));
      }
      continue;
    }
    if (Equals(token, "if")) {
      ++ifs;
    } else if (Equals(token, "endif")) {
      --ifs;
    } else if (Equals(token, "do")) {
      ++dos;
    } else if (Equals(token, "loop")) {
      --dos;
    } else if (Equals(token, "(")) {
      ++brackets;
    } else if (Equals(token, ")")) {
      --brackets;
    } else if (Equals(token, ":")) {
      if (!inBody) return FailCompile(script_text::kCloseWithoutBody);
      inBody = false;
    } else if (token[0] == ':') {
      if (inBody) return FailCompile(script_text::kNestedFunction);
      FunctionRecord record;
      record.name = token + 1;
      record.openingIndex = i;
      functionList_.push_back(std::move(record));
      inBody = true;
    }
  }

  if (brackets > 0) return FailCompile(Format(script_text::kExtraOpenBrackets, brackets));
  if (brackets < 0) return FailCompile(Format(script_text::kExtraCloseBrackets, -brackets));
  if (ifs > 0) return FailCompile(Format(script_text::kExtraIfs, ifs));
  if (ifs < 0) return FailCompile(Format(script_text::kExtraEndifs, -ifs));
  if (dos > 0) return FailCompile(Format(script_text::kExtraDos, dos));
  if (dos < 0) return FailCompile(Format(script_text::kExtraLoops, -dos));

  resultValue_ = ScriptValue::MakeInteger(0);
  return true;
}

bool ScriptEngine::ClearCompiled() {
  tokenList_.clear();
  for (const OwnedText& entry : stringTable_) BeforeTextRelease(entry.get());
  stringTable_.clear();
  messageTable_.clear();
  ReleaseTexts(globalValues_);
  globalValues_.clear();
  globalNames_.clear();
  functionList_.clear();
  return true;
}

}  // namespace korvel
