#include "engine/module_image.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "components/routing.h"
#include "components/value_sources.h"
#include "engine/file_io.h"
#include "engine/messages.h"
#include "engine/oversampling.h"
#include "engine/parameters.h"
#include "engine/patch_engine.h"
#include "engine/sound_store.h"
#include "engine/type_settings.h"
#include "engine/type_table.h"
#include "engine/ui.h"
#include "script/script_engine.h"

namespace korvel {
namespace {

using Json = nlohmann::json;

constexpr double kDefaultParameterValue = 0.5;
constexpr double kDefaultExtraParameterValue = 1.0;

// ---------------------------------------------------------------- writing

std::string Dump(const Json& value) {
  // Texts typed into the editor need not be UTF-8; replacing a stray byte
  // beats refusing to save.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string DumpOrdered(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string Text(const char* buffer, std::size_t capacity) {
  return std::string(buffer, strnlen(buffer, capacity));
}

// JSON has no infinities or NaN; they travel as strings.
Json Number(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return value;
}

// ---------------------------------------------------------------- reading

struct BadImage {
  std::string line;
};

[[noreturn]] void Fail(std::string line) { throw BadImage{std::move(line)}; }

std::string Quoted(const char* key) { return std::string("\"") + key + "\""; }

const Json* Find(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string CutToFit(std::string text, std::size_t capacity);

// Unknown keys are refused, naming the nearest known key, so that a
// misspelt "conections" or "valeu" is not silently ignored.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

void CheckKeys(const Json& object, std::span<const char* const> known, const std::string& where) {
  for (const auto& item : object.items()) {
    const std::string& key = item.key();
    if (std::find_if(known.begin(), known.end(), [&](const char* k) { return key == k; }) != known.end()) continue;
    const char* nearest = known[0];
    for (const char* k : known)
      if (EditDistance(key, k) < EditDistance(key, nearest)) nearest = k;
    Fail(where + "unknown key " + Dump(CutToFit(key, 41)) + " (did you mean " + Quoted(nearest) + "?)");
  }
}

constexpr const char* kModuleKeys[] = {"format",     "version", "name", "author", "description", "oversampling",
                                       "script",     "parameters", "in", "out",    "components",  "connections"};
constexpr const char* kCommonComponentKeys[] = {"slot", "type", "label", "x", "y", "width", "height", "colour"};
constexpr const char* kConnectionKeys[] = {"from", "to"};

// A component entry's keys: the common ones, then every type's settings
// keys. A key of another type's settings is accepted and ignored (as a
// "value" on a filter always was); `korvel check` points it out.
const std::vector<const char*>& ComponentKeys() {
  static const std::vector<const char*> keys = [] {
    std::vector<const char*> all(std::begin(kCommonComponentKeys), std::end(kCommonComponentKeys));
    for (int type = 0; type < kTypeCount; ++type) {
      const TypeSettings* settings = SettingsOf(type);
      if (settings == nullptr) continue;
      for (std::size_t i = 0; i < settings->key_count; ++i)
        if (std::find_if(all.begin(), all.end(), [&](const char* k) {
              return std::strcmp(k, settings->keys[i]) == 0;
            }) == all.end())
          all.push_back(settings->keys[i]);
    }
    return all;
  }();
  return keys;
}
constexpr const char* kParameterKeys[] = {"name", "kind", "controller", "value"};

std::int64_t Integer(const Json& value, const std::string& what, std::int64_t low, std::int64_t high) {
  std::int64_t n = 0;
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(high))
      Fail(what + " is " + std::to_string(u) + ", outside " + std::to_string(low) + ".." + std::to_string(high));
    n = static_cast<std::int64_t>(u);
  } else if (value.is_number_integer()) {
    n = value.get<std::int64_t>();
  } else {
    Fail(what + " is not a whole number");
  }
  if (n < low || n > high)
    Fail(what + " is " + std::to_string(n) + ", outside " + std::to_string(low) + ".." + std::to_string(high));
  return n;
}

// A 64-bit magnitude as a double, rounded once to nearest: the two halves
// convert exactly and only the sum rounds. The same bits as the 64-bit
// builds' direct conversion, without the x87 one a 32-bit build would use.
double MagnitudeToDouble(std::uint64_t m) {
  return static_cast<double>(static_cast<std::uint32_t>(m >> 32)) * 4294967296.0 +
         static_cast<double>(static_cast<std::uint32_t>(m));
}

double Real(const Json& value, const std::string& what) {
  if (value.is_number_unsigned()) return MagnitudeToDouble(value.get<std::uint64_t>());
  if (value.is_number_integer()) {
    const std::int64_t v = value.get<std::int64_t>();
    const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return v < 0 ? -MagnitudeToDouble(magnitude) : MagnitudeToDouble(magnitude);
  }
  if (value.is_number()) return value.get<double>();
  if (value.is_string()) {
    const auto& s = value.get_ref<const std::string&>();
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
  }
  Fail(what + " is not a number");
}

std::string String(const Json& value, const std::string& what) {
  if (!value.is_string()) Fail(what + " is not a text");
  return value.get<std::string>();
}

// Cuts to fit a buffer of `capacity` bytes with its NUL, never inside a
// UTF-8 sequence.
std::string CutToFit(std::string text, std::size_t capacity) {
  if (text.size() < capacity) return text;
  std::size_t length = capacity - 1;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  text.resize(length);
  return text;
}

void CopyInto(char* buffer, std::size_t capacity, const std::string& text) {
  std::memset(buffer, 0, capacity);
  const std::string cut = CutToFit(text, capacity);
  std::memcpy(buffer, cut.data(), strnlen(cut.c_str(), cut.size()));
}

int TypeCount(int type, ComponentRequest request) {
  return static_cast<std::uint8_t>(kComponentTypeTable.dispatch[type](request, nullptr, nullptr));
}

struct ImageComponent {
  int slot;
  int type;
  std::optional<std::string> label;
  std::int32_t x = 0, y = 0;
  std::optional<std::int16_t> width, height;
  std::optional<std::uint32_t> colour;
  Json settings;  // the entry's keys of the type's own settings, checked
  int inputs, outputs;
};

struct ImageConnection {
  int from_slot, from_output, to_slot, to_input;
};

struct ImageParameter {
  std::string name;
  std::uint32_t kind = 0;
  std::int32_t controller = kNoController;
  std::optional<double> value;
};

struct Image {
  std::string name = text::kDefaultModuleName;
  std::string author;
  std::string description;
  std::string script = text::kDefaultScript;
  int oversampling = 1;
  ImageParameter parameters[kParameterCount];
  std::optional<int> in, out;
  std::vector<ImageComponent> components;
  std::vector<ImageConnection> connections;
  int at[kSlotCount];  // index into components by slot, -1 when empty
};

// "line L, column C" of byte `offset`, both counted from 1.
std::string Position(const char* data, std::size_t size, std::size_t offset) {
  const std::size_t stop = std::min(offset, size);
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < stop; ++i) {
    if (data[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string TrailingBytes(const char* data, std::size_t size, std::size_t offset) {
  return "not a module: there is more after the module's closing brace (" + Position(data, size, offset) + ")";
}

std::string JsonError(const char* data, std::size_t size, const Json::parse_error& e) {
  const std::size_t stop = e.byte > 0 ? e.byte - 1 : 0;
  if (std::strstr(e.what(), "expected end of input") != nullptr) return TrailingBytes(data, size, stop);
  return "not a module: the text is not JSON (" + Position(data, size, stop) + ")";
}

// The first key that appears twice in one object, with its line, in a text
// that is valid JSON. The parser keeps the last of them without a word, so
// a module edited by hand could lose a setting silently.
struct DuplicateKey {
  std::string key;
  std::size_t line = 0;
};

std::optional<DuplicateKey> FindDuplicateKey(const char* data, std::size_t size) {
  // Keys are compared as they stand in the text; a key written with an
  // escape is decoded once and kept here, so "valu\u0065" is "value".
  struct Level {
    bool object;
    std::unordered_set<std::string_view> keys;
  };
  std::vector<Level> levels;
  std::vector<std::unique_ptr<std::string>> decoded;
  std::size_t depth = 0, line = 1;
  bool expect_key = false;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\n') {
      ++line;
    } else if (c == '{' || c == '[') {
      if (levels.size() <= depth) levels.emplace_back();
      levels[depth].object = c == '{';
      levels[depth].keys.clear();
      ++depth;
      expect_key = c == '{';
    } else if (c == '}' || c == ']') {
      --depth;
      expect_key = false;
    } else if (c == ',') {
      expect_key = depth > 0 && levels[depth - 1].object;
    } else if (c == '"') {
      const std::size_t start = i;
      bool escaped = false;
      for (++i; data[i] != '"'; ++i) {  // valid JSON: the string is closed
        if (data[i] == '\\') {
          escaped = true;
          ++i;
        }
      }
      if (!expect_key) continue;
      expect_key = false;
      std::string_view key(data + start + 1, i - start - 1);
      if (escaped) {
        decoded.push_back(std::make_unique<std::string>(
            Json::parse(std::string_view(data + start, i - start + 1)).get<std::string>()));
        key = *decoded.back();
      }
      if (!levels[depth - 1].keys.insert(key).second) return DuplicateKey{std::string(key), line};
    }
  }
  return std::nullopt;
}

std::string ComponentName(int index, int slot) {
  return "component " + std::to_string(index) + " (slot " + std::to_string(slot) + ")";
}

void ReadComponents(const Json& list, Image& image) {
  if (!list.is_array()) Fail(Quoted("components") + " is not a list");
  std::fill(std::begin(image.at), std::end(image.at), -1);
  int index = 0;
  for (const Json& entry : list) {
    const std::string item = "component " + std::to_string(index);
    if (!entry.is_object()) Fail(item + " is not an object");
    const Json* slot_value = Find(entry, "slot");
    if (slot_value == nullptr) Fail(item + " has no " + Quoted("slot"));
    ImageComponent c{};
    c.slot = static_cast<int>(Integer(*slot_value, item + ": " + Quoted("slot"), 0, kSlotCount - 1));
    const std::string name = ComponentName(index, c.slot);
    if (image.at[c.slot] >= 0)
      Fail(name + ": slot " + std::to_string(c.slot) + " is already used by component " +
           std::to_string(image.at[c.slot]));
    CheckKeys(entry, ComponentKeys(), name + ": ");
    const Json* type_value = Find(entry, "type");
    if (type_value == nullptr) Fail(name + " has no " + Quoted("type"));
    c.type = static_cast<int>(Integer(*type_value, name + ": " + Quoted("type"), std::numeric_limits<int>::min(),
                                      std::numeric_limits<int>::max()));
    if (!IsTypeAvailable(c.type)) Fail(name + ": there is no component type " + std::to_string(c.type));
    c.inputs = TypeCount(c.type, kGetInputCount);
    c.outputs = TypeCount(c.type, kGetOutputCount);
    if (const Json* v = Find(entry, "label")) c.label = String(*v, name + ": " + Quoted("label"));
    if (const Json* v = Find(entry, "x"))
      c.x = static_cast<std::int32_t>(Integer(*v, name + ": " + Quoted("x"), 0, kMaxPosition));
    if (const Json* v = Find(entry, "y"))
      c.y = static_cast<std::int32_t>(Integer(*v, name + ": " + Quoted("y"), 0, kMaxPosition));
    if (const Json* v = Find(entry, "width"))
      c.width = static_cast<std::int16_t>(Integer(*v, name + ": " + Quoted("width"), 1, kMaxBoxSide));
    if (const Json* v = Find(entry, "height"))
      c.height = static_cast<std::int16_t>(Integer(*v, name + ": " + Quoted("height"), 1, kMaxBoxSide));
    if (const Json* v = Find(entry, "colour"))
      c.colour = static_cast<std::uint32_t>(Integer(*v, name + ": " + Quoted("colour"), 0, 0xFFFFFFFF));
    if (const TypeSettings* settings = SettingsOf(c.type)) {
      c.settings = Json::object();
      for (std::size_t i = 0; i < settings->key_count; ++i)
        if (const Json* v = Find(entry, settings->keys[i])) c.settings[settings->keys[i]] = *v;
      std::string error;
      if (!CheckSettings(c.type, c.settings, error)) Fail(name + ": " + error);
    }
    image.at[c.slot] = index;
    image.components.push_back(std::move(c));
    ++index;
  }
}

// One end of a connection: [slot, port].
std::pair<int, int> ReadEnd(const Json& connection, const char* key, const std::string& item) {
  const Json* end = Find(connection, key);
  if (end == nullptr) Fail(item + " has no " + Quoted(key));
  if (!end->is_array() || end->size() != 2) Fail(item + ": " + Quoted(key) + " is not [slot, port]");
  const int slot = static_cast<int>(Integer((*end)[0], item + ": slot of " + Quoted(key), 0, kSlotCount - 1));
  const int port = static_cast<int>(Integer((*end)[1], item + ": port of " + Quoted(key), 0, kMaxPorts - 1));
  return {slot, port};
}

// For each slot, the slots wired to its inputs by the connections read so
// far: the cycle check walks only what is upstream.
using SourceSlots = std::vector<std::vector<int>>;

// Whether `from` is `to` or feeds it.
bool Feeds(int from, int to, const SourceSlots& sources) {
  bool seen[kSlotCount] = {};
  int stack[kSlotCount];
  int depth = 0;
  stack[depth++] = to;
  seen[to] = true;
  while (depth > 0) {
    const int slot = stack[--depth];
    if (slot == from) return true;
    for (const int u : sources[slot]) {
      if (!seen[u]) {
        seen[u] = true;
        stack[depth++] = u;
      }
    }
  }
  return false;
}

void ReadConnections(const Json& list, Image& image) {
  if (!list.is_array()) Fail(Quoted("connections") + " is not a list");
  // Which connection already uses each port: [slot][port]; -1 for none.
  // (At most kSlotCount · kMaxPorts = 16384 connections fit a module.)
  static_assert(kSlotCount * kMaxPorts <= 32768);
  std::vector<std::int16_t> source_of(kSlotCount * kMaxPorts, -1), target_of(kSlotCount * kMaxPorts, -1);
  SourceSlots sources(kSlotCount);
  int index = 0;
  for (const Json& entry : list) {
    // Messages are made only when one is needed.
    const auto item = [index] { return "connection " + std::to_string(index); };
    if (!entry.is_object()) Fail(item() + " is not an object");
    CheckKeys(entry, kConnectionKeys, item() + ": ");
    const auto [s, m] = ReadEnd(entry, "from", item());
    const auto [t, k] = ReadEnd(entry, "to", item());
    const auto name = [&, s = s, m = m, t = t, k = k] {
      return item() + " (slot " + std::to_string(s) + " output " + std::to_string(m) + " to slot " +
             std::to_string(t) + " input " + std::to_string(k) + ")";
    };
    if (image.at[s] < 0) Fail(name() + ": slot " + std::to_string(s) + " is empty");
    if (image.at[t] < 0) Fail(name() + ": slot " + std::to_string(t) + " is empty");
    const ImageComponent& source = image.components[image.at[s]];
    const ImageComponent& target = image.components[image.at[t]];
    if (m >= source.outputs)
      Fail(name() + ": slot " + std::to_string(s) + " has " + std::to_string(source.outputs) + " outputs");
    if (k >= target.inputs)
      Fail(name() + ": slot " + std::to_string(t) + " has " + std::to_string(target.inputs) + " inputs");
    std::int16_t& input_user = source_of[t * kMaxPorts + k];
    if (input_user >= 0)
      Fail(name() + ": that input already has a source (connection " + std::to_string(input_user) + ")");
    std::int16_t& output_user = target_of[s * kMaxPorts + m];
    if (output_user >= 0)
      Fail(name() + ": that output already feeds an input (connection " + std::to_string(output_user) + ")");
    if (Feeds(t, s, sources)) Fail(name() + " would close a cycle");
    sources[t].push_back(s);
    input_user = output_user = static_cast<std::int16_t>(index);
    image.connections.push_back({s, m, t, k});
    ++index;
  }
}

std::optional<int> ReadEndpoint(const Json& object, const char* key, int type, const char* type_name,
                                const Image& image) {
  const Json* v = Find(object, key);
  if (v == nullptr) return std::nullopt;
  const int slot = static_cast<int>(Integer(*v, Quoted(key), -1, kSlotCount - 1));
  if (slot == -1) return -1;
  if (image.at[slot] < 0) Fail(Quoted(key) + " names slot " + std::to_string(slot) + ", which is empty");
  if (image.components[image.at[slot]].type != type)
    Fail(Quoted(key) + " names slot " + std::to_string(slot) + ", which is not " + type_name + " component");
  return slot;
}

void ReadParameters(const Json& list, Image& image) {
  if (!list.is_array()) Fail(Quoted("parameters") + " is not a list");
  if (list.size() > static_cast<std::size_t>(kParameterCount))
    Fail(Quoted("parameters") + " has " + std::to_string(list.size()) + " entries, more than " +
         std::to_string(kParameterCount));
  for (std::size_t p = 0; p < list.size(); ++p) {
    const Json& entry = list[p];
    const std::string item = "parameter " + std::to_string(p);
    if (!entry.is_object()) Fail(item + " is not an object");
    CheckKeys(entry, kParameterKeys, item + ": ");
    ImageParameter& parameter = image.parameters[p];
    if (const Json* v = Find(entry, "name")) parameter.name = String(*v, item + ": " + Quoted("name"));
    if (const Json* v = Find(entry, "kind"))
      parameter.kind = static_cast<std::uint32_t>(Integer(*v, item + ": " + Quoted("kind"), 0, 0xFFFFFFFF));
    if (const Json* v = Find(entry, "controller")) {
      if (p >= static_cast<std::size_t>(kNamedParameterCount)) Fail(item + ": the extra parameter has no controller");
      const std::string what = item + ": " + Quoted("controller");
      parameter.controller = static_cast<std::int32_t>(Integer(*v, what, kNoController, kControllerCount - 1));
    }
    if (const Json* v = Find(entry, "value")) parameter.value = Real(*v, item + ": " + Quoted("value"));
  }
}

// Counts values without building anything; stops at the limit. Syntax
// errors are left to the real parse, which reports them with a position.
struct ValueCounter : nlohmann::json_sax<Json> {
  std::size_t values = 0;
  bool Count() { return ++values <= kMaxModuleImageValues; }
  bool null() override { return Count(); }
  bool boolean(bool) override { return Count(); }
  bool number_integer(number_integer_t) override { return Count(); }
  bool number_unsigned(number_unsigned_t) override { return Count(); }
  bool number_float(number_float_t, const string_t&) override { return Count(); }
  bool string(string_t&) override { return Count(); }
  bool binary(binary_t&) override { return Count(); }
  bool start_object(std::size_t) override { return Count(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return Count(); }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

// What a byte scan tells of a JSON text without lexing it. Outside
// strings, every value but the first follows '[', ',' or ':', which bounds
// the values (for a text that is not JSON it still bounds the values
// before the first error, so the outcome is the same as counting them);
// and every key is followed by ':', which counts the keys.
struct TextShape {
  std::size_t value_bound = 1;
  std::size_t keys = 0;
};

TextShape ShapeOf(const char* data, std::size_t size) {
  TextShape shape;
  bool in_string = false;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == ',' || c == ':') {
      ++shape.value_bound;
      if (c == ':') ++shape.keys;
    }
  }
  return shape;
}

// The members of every object in a parsed document. Fewer than the text's
// keys means a key was given twice (the parser keeps one of them).
std::size_t MembersOf(const Json& root) {
  std::size_t members = 0;
  std::vector<const Json*> pending{&root};
  while (!pending.empty()) {
    const Json* value = pending.back();
    pending.pop_back();
    if (value->is_object()) members += value->size();
    if (value->is_structured())
      for (const Json& child : *value) pending.push_back(&child);
  }
  return members;
}

Image Parse(const char* data, std::size_t size) {
  if (size > kMaxModuleImageSize) Fail(TooLargeReason("the module image", size));
  // Counting value by value costs as much as parsing; a real module is far
  // below the bound, so only texts the bound cannot clear are counted.
  const TextShape shape = ShapeOf(data, size);
  if (shape.value_bound > kMaxModuleImageValues) {
    ValueCounter counter;
    try {
      Json::sax_parse(data, data + size, &counter);
    } catch (const Json::exception&) {
      // The real parse below reports it.
    }
    if (counter.values > kMaxModuleImageValues)
      Fail("the module image holds too many values (more than " + std::to_string(kMaxModuleImageValues) + ")");
  }
  Json root;
  try {
    root = Json::parse(data, data + size);
  } catch (const Json::parse_error& e) {
    Fail(JsonError(data, size, e));
  } catch (const Json::out_of_range&) {
    Fail("not a module: a number in the text is too large");
  }
  // The parser stops at a NUL as at the end of the text: whatever follows
  // one is refused like anything else after the closing brace.
  if (const void* nul = std::memchr(data, '\0', size))
    Fail(TrailingBytes(data, size, static_cast<std::size_t>(static_cast<const char*>(nul) - data)));
  // Keys the document lost are looked for, key by key, only when some are.
  if (MembersOf(root) != shape.keys)
    if (const auto twice = FindDuplicateKey(data, size))
      Fail("duplicate key " + Dump(CutToFit(twice->key, 41)) + " (line " + std::to_string(twice->line) +
           "): each key may appear once in an object");
  if (!root.is_object()) Fail("not a module: the JSON is not an object");
  const Json* format = Find(root, "format");
  if (format == nullptr) Fail("not a module: there is no " + Quoted("format"));
  if (!format->is_string()) Fail("not a module: " + Quoted("format") + " is not a text");
  if (format->get_ref<const std::string&>() != kModuleImageFormat)
    Fail("not a module: " + Quoted("format") + " is " + Dump(CutToFit(format->get<std::string>(), 41)) + ", not " +
         Quoted(kModuleImageFormat));
  const Json* version = Find(root, "version");
  if (version == nullptr) Fail("there is no " + Quoted("version"));
  const auto v = Integer(*version, Quoted("version"), std::numeric_limits<std::int64_t>::min(),
                         std::numeric_limits<std::int64_t>::max());
  if (v < 1) Fail("version " + std::to_string(v) + " is not a module version");
  if (v > kModuleImageVersion)
    Fail("version " + std::to_string(v) + " is newer than this plug-in reads (" +
         std::to_string(kModuleImageVersion) + ")");

  CheckKeys(root, kModuleKeys, "");
  Image image;
  if (const Json* t = Find(root, "name")) image.name = String(*t, Quoted("name"));
  if (const Json* t = Find(root, "author")) image.author = String(*t, Quoted("author"));
  if (const Json* t = Find(root, "description")) image.description = String(*t, Quoted("description"));
  if (const Json* t = Find(root, "oversampling")) {
    const double factor = Real(*t, Quoted("oversampling"));
    if (!IsOversamplingFactor(factor))
      Fail(Quoted("oversampling") + " is " + Dump(*t) + ", but it " + OversamplingRefusal(factor));
    image.oversampling = static_cast<int>(factor);
  }
  if (const Json* t = Find(root, "script")) image.script = String(*t, Quoted("script"));
  if (const Json* list = Find(root, "parameters")) ReadParameters(*list, image);
  const Json* components = Find(root, "components");
  if (components == nullptr) Fail("there is no " + Quoted("components"));
  ReadComponents(*components, image);
  if (const Json* list = Find(root, "connections")) ReadConnections(*list, image);
  image.in = ReadEndpoint(root, "in", kInType, "an In", image);
  image.out = ReadEndpoint(root, "out", kOutType, "an Out", image);
  return image;
}

// A component's sound, loaded before the module is built: its absolute
// path, and the sound or the reason there is none.
struct LoadedSound {
  std::string path;
  SoundRef sound;
  std::string reason;
};

// Makes the image's sound paths absolute (through `paths`) and loads each
// file, with nothing of the engine held. One entry per component.
std::vector<LoadedSound> LoadSounds(Image& image, const ImagePaths& paths) {
  std::vector<LoadedSound> loaded(image.components.size());
  for (std::size_t i = 0; i < image.components.size(); ++i) {
    ImageComponent& c = image.components[i];
    const TypeSettings* settings = SettingsOf(c.type);
    if (settings == nullptr || settings->sound_key == nullptr) continue;
    const auto it = c.settings.find(settings->sound_key);
    if (it == c.settings.end() || !it->is_string()) continue;
    *it = paths.Absolute(it->get<std::string>());
    loaded[i].path = it->get<std::string>();
    if (!loaded[i].path.empty()) loaded[i].sound = LoadSound(loaded[i].path, loaded[i].reason);
  }
  return loaded;
}

// Whether the component in `slot` already holds exactly the settings the
// image gives it. Both sides are compared as the writer prints them, so an
// image this engine wrote compares equal to the state it was written from.
bool SameSettings(const PatchEngine& engine, int slot, const ImageComponent& c) REQUIRES_EDITS(engine) {
  const TypeSettings* settings = SettingsOf(c.type);
  if (settings == nullptr) return true;
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  settings->write(*engine.Record(slot), values);
  return Json::parse(DumpOrdered(values)).dump() == c.settings.dump();
}

// Gives a component made for the image its settings and sound.
void SetUpFromImage(PatchEngine& engine, const ImageComponent& c, const LoadedSound& loaded) REQUIRES_EDITS(engine) {
  const TypeSettings* settings = SettingsOf(c.type);
  if (settings == nullptr) return;
  std::string checked;  // read once already, by Parse
  settings->read(c.settings, *engine.RecordLocked(c.slot), checked);
  if (settings->attach != nullptr) settings->attach(*engine.RecordLocked(c.slot), loaded.sound);
  if (loaded.sound == nullptr && !loaded.path.empty())
    engine.SetSoundProblemLocked(
        c.slot, SoundProblemLine(c.type, engine.Descriptor(c.slot)->label, c.slot, loaded.path, loaded.reason));
}

void SetLooks(ComponentDescriptor& d, const ImageComponent& c) {
  d.x = c.x;
  d.y = c.y;
  if (c.label) CopyInto(d.label, kLabelSize, *c.label);
  if (c.width) d.width = *c.width;
  if (c.height) d.height = *c.height;
  if (c.colour) d.colour = *c.colour;
}

void SetModuleDataLocked(PatchEngine& engine, const Image& image, int slot_count) REQUIRES_EDITS(engine) {
  // Through the one wiring rule, like every other edit (the image was
  // checked already, so nothing is refused here).
  for (const ImageConnection& c : image.connections)
    engine.ConnectLocked(c.from_slot, c.from_output, c.to_slot, c.to_input);
  engine.SetEndsLocked(image.in ? *image.in : engine.InSlot(), image.out ? *image.out : engine.OutSlot());
  engine.SetSlotCountLocked(slot_count);
  engine.SetModuleTextsLocked(CutToFit(image.name, kModuleNameSize).c_str(),
                              CutToFit(image.author, kModuleAuthorSize).c_str(),
                              CutToFit(image.description, kModuleDescriptionSize).c_str());
  for (int p = 0; p < kNamedParameterCount; ++p) {
    engine.SetParameterInfoLocked(p, CutToFit(image.parameters[p].name, kParameterNameSize).c_str(),
                                  image.parameters[p].kind);
    engine.Controllers().Set(p, image.parameters[p].controller);
  }
}

int SlotCountOf(const Image& image) {
  int count = 0;
  for (const ImageComponent& c : image.components) count = std::max(count, c.slot + 1);
  return count;
}

// Brings the module to the image with the fewest changes (an undo, a
// paste): a component whose type and settings the image keeps keeps its
// record, so a filter rings on and a Sampler keeps its place; the delay
// lines, the script's state and the parameters' values (the host's) are
// left alone. Published as one plan.
void Restore(PatchEngine& engine, const Image& image, const std::vector<LoadedSound>& sounds) {
  {
    PatchEngine::EditLock lock(engine);
    for (int s = 0; s < kSlotCount; ++s) {
      if (!engine.IsOccupied(s)) continue;
      const int at = image.at[s];
      const ImageComponent* c = at >= 0 ? &image.components[static_cast<std::size_t>(at)] : nullptr;
      if (c == nullptr || c->type != engine.DescriptorLocked(s)->type || !SameSettings(engine, s, *c))
        engine.DeleteLocked(s);
    }
    // Every wire is made again from the image.
    for (int s = 0; s < kSlotCount; ++s)
      if (engine.IsOccupied(s))
        for (int k = 0; k < engine.DescriptorLocked(s)->output_count; ++k) engine.DetachOutputLocked(s, k);
    for (const ImageComponent& c : image.components) {
      if (!engine.IsOccupied(c.slot)) {
        if (!engine.CreateComponentAtLocked(c.slot, c.type)) continue;  // out of memory: left empty
        SetLooks(*engine.DescriptorLocked(c.slot), c);
        SetUpFromImage(engine, c, sounds[static_cast<std::size_t>(&c - image.components.data())]);
      }
      SetLooks(*engine.DescriptorLocked(c.slot), c);
    }
    SetModuleDataLocked(engine, image, SlotCountOf(image));
    if (engine.ScriptText() != image.script) engine.RecompileLocked(image.script);
    engine.PublishLocked();
  }
  Ui().EngineChanged(engine.Editor().main_window);
}

// Builds the new module under the edit lock and publishes it with one plan:
// the audio thread plays the old module up to the block before and the new
// one from the next, never a mixture.
void Apply(PatchEngine& engine, const Image& image, const std::vector<LoadedSound>& sounds) {
  {
    PatchEngine::EditLock lock(engine);
    engine.PrepareOversamplingLocked(image.oversampling);  // first: it may run out of memory
    engine.ClearModuleLocked();
    engine.ClearSoundProblemsLocked();
    // Components are made in ascending slot order, so the lowest In and Out
    // become the module's input and output unless the image names others.
    std::vector<const ImageComponent*> by_slot;
    for (const ImageComponent& c : image.components) by_slot.push_back(&c);
    std::sort(by_slot.begin(), by_slot.end(), [](auto* a, auto* b) { return a->slot < b->slot; });
    for (const ImageComponent* c : by_slot) {
      if (!engine.CreateComponentAtLocked(c->slot, c->type)) continue;  // out of memory: left empty
      SetLooks(*engine.DescriptorLocked(c->slot), *c);
      SetUpFromImage(engine, *c, sounds[static_cast<std::size_t>(c - image.components.data())]);
    }
    SetModuleDataLocked(engine, image, SlotCountOf(image));
    engine.RecompileLocked(image.script);
    if (double* values = engine.ParameterValues()) {
      for (int p = 0; p < kParameterCount; ++p) {
        const double fallback = p < kNamedParameterCount ? kDefaultParameterValue : kDefaultExtraParameterValue;
        StoreParameter(values[p], image.parameters[p].value.value_or(fallback));
      }
    }
    engine.ClearDelayLinesLocked();
    engine.ModuleReplacedLocked();
    engine.PublishLocked();
  }
  engine.ClearProblem();
  Ui().EngineChanged(engine.Editor().main_window);
}

}  // namespace

std::string WriteModuleImage(const PatchEngine& engine, const ImagePaths& paths, ParameterValues with) {
  PatchEngine::EditLock lock(engine);
  std::string out = "{\n";
  const auto field = [&out](const char* key, const Json& value, bool last = false) {
    out += "  \"";
    out += key;
    out += "\": ";
    out += Dump(value);
    out += last ? "\n" : ",\n";
  };
  field("format", kModuleImageFormat);
  field("version", kModuleImageVersion);
  field("name", Text(engine.ModuleName().c_str(), kModuleNameSize));
  field("author", Text(engine.ModuleAuthor().c_str(), kModuleAuthorSize));
  field("description", Text(engine.ModuleDescription().c_str(), kModuleDescriptionSize));
  // Only when it is not 1, so a module at the host's rate saves as before.
  if (engine.OversamplingLocked() != 1) field("oversampling", engine.OversamplingLocked());
  field("script", engine.ScriptText());

  out += "  \"parameters\": [\n";
  for (int p = 0; p < kParameterCount; ++p) {
    const bool named = p < kNamedParameterCount;
    const std::string parameter_name = named ? engine.ParameterName(p) : std::string();
    const double fallback = named ? kDefaultParameterValue : kDefaultExtraParameterValue;
    double* values = engine.ParameterValues();
    // Keys in the order a reader expects them, not nlohmann's sorted order.
    // A controller is written only where one is bound.
    const std::int32_t controller = engine.Controllers().Get(p);
    out += "    {\"name\": " + Dump(Text(parameter_name.c_str(), kParameterNameSize)) +
           ", \"kind\": " + std::to_string(named ? engine.ParameterKind(p) : 0) +
           (controller != kNoController ? ", \"controller\": " + std::to_string(controller) : std::string()) +
           (with == ParameterValues::kWritten
                ? ", \"value\": " + Dump(Number(values ? LoadParameter(values[p]) : fallback))
                : std::string()) +
           "}";
    out += p + 1 < kParameterCount ? ",\n" : "\n";
  }
  out += "  ],\n";
  field("in", engine.InSlot());
  field("out", engine.OutSlot());

  std::vector<std::string> components, connections;
  for (int s = 0; s < kSlotCount; ++s) {
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (d == nullptr) continue;
    std::string line = "{\"slot\": " + std::to_string(s) + ", \"type\": " + std::to_string(d->type) +
                       ", \"label\": " + Dump(Text(d->label, kLabelSize)) + ", \"x\": " + std::to_string(d->x) +
                       ", \"y\": " + std::to_string(d->y) + ", \"width\": " + std::to_string(d->width) +
                       ", \"height\": " + std::to_string(d->height) + ", \"colour\": " + std::to_string(d->colour);
    if (const TypeSettings* settings = SettingsOf(d->type)) {
      nlohmann::ordered_json values = nlohmann::ordered_json::object();
      settings->write(*engine.Record(s), values);
      if (settings->sound_key != nullptr) {
        const auto it = values.find(settings->sound_key);
        if (it != values.end() && it->is_string()) *it = paths.Stored(it->get<std::string>());
      }
      for (const auto& item : values.items()) line += ", " + Dump(item.key()) + ": " + DumpOrdered(item.value());
    }
    components.push_back(line + "}");
    // Each connection once, from its input end, in slot and input order.
    for (int k = 0; k < d->input_count; ++k) {
      const std::uint16_t u = d->input_source_slot[k];
      if (u == kNoSlot || engine.Descriptor(u) == nullptr) continue;
      connections.push_back("{\"from\": [" + std::to_string(u) + ", " + std::to_string(d->input_source_output[k]) +
                            "], \"to\": [" + std::to_string(s) + ", " + std::to_string(k) + "]}");
    }
  }
  const auto list = [&out](const char* key, const std::vector<std::string>& items, bool last) {
    out += "  \"";
    out += key;
    out += "\": [";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "\n    " : ",\n    ") + items[i];
    out += items.empty() ? "]" : "\n  ]";
    out += last ? "\n" : ",\n";
  };
  list("components", components, false);
  list("connections", connections, true);
  out += "}\n";
  return out;
}

std::string TooLargeReason(const char* what, unsigned long long size) {
  return TooLargeReason(what, size, kMaxModuleImageSize);
}

namespace {

// Checks the whole image; applies it to `engine` when there is one.
enum class Mode { kCheck, kReplace, kRestore };

bool ReadOrCheck(PatchEngine* engine, Mode mode, const void* data, std::size_t size, std::string& error,
                 const ImagePaths& paths) {
  if (size == 0) return true;
  try {
    Image image = Parse(static_cast<const char*>(data), size);
    if (engine != nullptr) {
      const std::vector<LoadedSound> sounds = LoadSounds(image, paths);
      // Another rate gives every component a fresh record anyway.
      if (mode == Mode::kRestore && image.oversampling == engine->Oversampling())
        Restore(*engine, image, sounds);
      else
        Apply(*engine, image, sounds);
    }
  } catch (const BadImage& bad) {
    error = bad.line;
    return false;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to read the module";
    return false;
  } catch (const Json::exception& e) {
    // Every shape is checked before it is read; this is the last line of
    // defence, never the way a bad image is meant to be reported.
    error = std::string("not a module: ") + e.what();
    return false;
  }
  return true;
}

}  // namespace

bool ReadModuleImage(PatchEngine& engine, const void* data, std::size_t size, std::string& error,
                     const ImagePaths& paths) {
  return ReadOrCheck(&engine, Mode::kReplace, data, size, error, paths);
}

bool RestoreModuleImage(PatchEngine& engine, const std::string& image, std::string& error) {
  if (image.empty()) {
    error = "the module image is empty";
    return false;
  }
  return ReadOrCheck(&engine, Mode::kRestore, image.data(), image.size(), error, ImagePaths{});
}

bool CheckModuleImage(const void* data, std::size_t size, std::string& error) {
  return ReadOrCheck(nullptr, Mode::kCheck, data, size, error, ImagePaths{});
}

}  // namespace korvel
