// A component type's own settings: what lives in its record beyond the
// header and travels with the module (a constant's value, a Slider's
// range). Each type that has any names them once, in its description
// (TypeDescription::settings); the module reader and writer, the editors'
// dialogs, the validator and the tools all go through these hooks, so a
// setting is read, written and checked in exactly one place.
//
// Settings travel as a JSON object holding the type's keys (the same keys
// and values as in a module file's component entry). [editor thread]: the
// hooks run on records the audio thread cannot see yet (fresh records built
// for a renewal or a load) or on a published record's settings, which only
// the editor side writes.
#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace korvel {

struct ComponentRecord;

struct TypeSettings {
  // The module-file keys the type owns, in the order they are written.
  const char* const* keys;
  std::size_t key_count;
  // Adds every key to `out` in that order, from the record.
  void (*write)(const ComponentRecord& self, nlohmann::ordered_json& out);
  // Reads the keys `in` holds into `self`; keys it lacks keep what `self`
  // holds (a fresh record's defaults, or the settings being changed). Keys
  // of other types are not looked at. On a bad value: false, `error` one
  // line naming the key ("\"value\" is not a number"); `self` may then be
  // partly changed and is thrown away by the caller.
  bool (*read)(const nlohmann::json& in, ComponentRecord& self, std::string& error);
};

// Helpers for the hooks, with the module format's rules for values.
namespace settings {

// JSON has no infinities or NaN: they travel as the texts "nan", "inf" and
// "-inf".
nlohmann::ordered_json Number(double value);
// A JSON number (not a text) as a double; integers convert exactly where
// they can and round once otherwise, on every build. False for anything
// else.
bool NumberValue(const nlohmann::json& v, double& value);
// A number (or one of those texts) under `key`, when present. False with
// `error` set when present but not a number.
bool ReadReal(const nlohmann::json& in, const char* key, double& value, std::string& error);
// A whole number in low..high under `key`, when present.
bool ReadInteger(const nlohmann::json& in, const char* key, long long low, long long high, long long& value,
                 std::string& error);
// "\"key\"", as messages name keys.
std::string Quoted(const char* key);

}  // namespace settings
}  // namespace korvel
