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
//
// Sound files. A type that plays one names the key that holds its path
// (`sound_key`). The hooks only ever see absolute paths: the engine reads a
// module image's relative paths against the module file's folder (or maps
// them through the host, for LV2) and writes them back relative where it
// can. The engine, never a hook, loads the file: before the record is
// published, on the thread that loads the module or changes the settings
// (never the audio thread), sharing one decoded copy per file; `attach`
// then hands the record its reference. A file that cannot be loaded is not
// a bad setting: the path is kept (so saving again loses nothing), the
// component gets no sound and plays silence, and the engine keeps a line
// naming the file and the reason (PatchEngine::SoundProblems).
#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "engine/sound.h"

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
  // The key whose text is the path of a sound file the type plays ("" for
  // none), or null for types that play none.
  const char* sound_key = nullptr;
  // Gives a record `read` has filled the sound its path names; null when
  // the file could not be loaded. The record holds the reference until
  // `release`.
  void (*attach)(ComponentRecord& self, SoundRef sound) = nullptr;
  // Lets go of whatever `read` and `attach` gave the record; runs just
  // before the record is freed (on the editor side, after retirement).
  void (*release)(ComponentRecord& self) = nullptr;
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
