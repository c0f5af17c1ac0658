// Writes the Turtle of the LV2 bundle at build time: manifest.ttl, the
// plug-in's description and one preset per module file given. Sound files a
// preset's module names by a relative path are copied into the bundle at
// that same path, so the preset finds them beside itself.
//
//   korvel_lv2_bundle OUT_DIR BINARY UI_BINARY MODULE.korvel...
//
// Every name comes from lv2_names.h, so the Turtle and the plug-in cannot
// disagree. A module file that is not JSON stops the build.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host_texts.h"
#include "host/lv2/lv2_names.h"

namespace {

namespace fs = std::filesystem;
using korvel::lv2::kParameterPortCount;

constexpr char kPrefixes[] =
    "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix log:   <http://lv2plug.in/ns/ext/log#> .\n"
    "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi:  <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix patch: <http://lv2plug.in/ns/ext/patch#> .\n"
    "@prefix owl:   <http://www.w3.org/2002/07/owl#> .\n"
    "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf:   <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix time:  <http://lv2plug.in/ns/ext/time#> .\n"
    "@prefix ui:    <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n"
    "@prefix work:  <http://lv2plug.in/ns/ext/worker#> .\n\n";

// A Turtle string literal: long form, so the module's lines stay lines.
std::string Literal(const std::string& text) {
  std::string out = "\"\"\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"\"\"";
}

std::string Uri(const std::string& uri) { return "<" + uri + ">"; }

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  std::string out = text;
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

std::string PluginTurtle() {
  std::ostringstream t;
  t << kPrefixes;
  t << Uri(korvel::lv2::kModuleFileUri) << "\n"
    << "    a lv2:Parameter ;\n"
    << "    rdfs:label \"Module file\" ;\n"
    << "    rdfs:comment \"A .korvel module file to load in place of the current module.\" ;\n"
    << "    rdfs:range atom:Path .\n\n";
  t << Uri(korvel::lv2::kModuleImageUri) << "\n"
    << "    a rdf:Property , owl:DatatypeProperty ;\n"
    << "    rdfs:label \"Module image\" ;\n"
    << "    rdfs:comment \"The module, as the JSON text of a .korvel file: the plug-in's state.\" .\n\n";
  t << Uri(korvel::lv2::kModuleUri) << "\n"
    << "    a lv2:Parameter ;\n"
    << "    rdfs:label \"Module\" ;\n"
    << "    rdfs:comment \"The module as the JSON text of a .korvel file, for an editor: read with patch:Get, "
       "replaced with patch:Set, carried in pieces when large.\" ;\n"
    << "    rdfs:range atom:String .\n\n";
  t << Uri(korvel::lv2::kStatusUri) << "\n"
    << "    a lv2:Parameter ;\n"
    << "    rdfs:label \"Status\" ;\n"
    << "    rdfs:comment \"Why the last module sent was refused.\" ;\n"
    << "    rdfs:range atom:String .\n\n";
  for (const auto& [uri, label, comment] :
       {std::tuple{korvel::lv2::kPieceOffsetUri, "Piece offset", "The byte of the module text a piece starts at."},
        std::tuple{korvel::lv2::kPieceTotalUri, "Piece total", "The bytes of the whole module text a piece is of."}}) {
    t << Uri(uri) << "\n"
      << "    a rdf:Property , owl:DatatypeProperty ;\n"
      << "    rdfs:label \"" << label << "\" ;\n"
      << "    rdfs:comment \"" << comment << "\" ;\n"
      << "    rdfs:range atom:Long .\n\n";
  }
  t << Uri(korvel::lv2::kProjectUri) << "\n"
    << "    a doap:Project ;\n"
    << "    doap:name \"" << korvel::text::kModuleName << "\" ;\n"
    << "    doap:license " << Uri(korvel::lv2::kLicenseUri) << " ;\n"
    << "    doap:maintainer [ a foaf:Person ; foaf:name \"" << korvel::lv2::kMaintainerName << "\" ] .\n\n";
  t << Uri(korvel::lv2::kPluginUri) << "\n"
    << "    a lv2:Plugin , lv2:UtilityPlugin ;\n"
    << "    doap:name \"" << korvel::text::kModuleName << "\" ;\n"
    << "    doap:license " << Uri(korvel::lv2::kLicenseUri) << " ;\n"
    << "    lv2:project " << Uri(korvel::lv2::kProjectUri) << " ;\n"
    << "    rdfs:comment \"A modular audio effect: filters, arithmetic, delays, clipping and value sources "
       "patched into a graph, with a sidechain input, MIDI notes and controllers, and the host's tempo. "
       "Modules are .korvel files.\" ;\n"
    << "    lv2:minorVersion 1 ;\n"
    << "    lv2:microVersion 0 ;\n"
    << "    lv2:optionalFeature lv2:hardRTCapable , urid:map , log:log , work:schedule ;\n"
    << "    lv2:extensionData state:interface , work:interface ;\n"
    << "    ui:ui " << Uri(korvel::lv2::kUiUri) << " ;\n"
    << "    patch:writable " << Uri(korvel::lv2::kModuleFileUri) << " , " << Uri(korvel::lv2::kModuleUri) << " ;\n"
    << "    patch:readable " << Uri(korvel::lv2::kModuleUri) << " , " << Uri(korvel::lv2::kStatusUri) << " ;\n"
    << "    lv2:port\n";
  auto audio = [&t](int index, const char* direction, const char* symbol, const char* name) {
    t << "        [ a lv2:AudioPort , lv2:" << direction << " ; lv2:index " << index << " ; lv2:symbol \"" << symbol
      << "\" ; lv2:name \"" << name << "\" ] ,\n";
  };
  audio(korvel::lv2::kInputLeft, "InputPort", "in_left", "Input left");
  audio(korvel::lv2::kInputRight, "InputPort", "in_right", "Input right");
  audio(korvel::lv2::kOutputLeft, "OutputPort", "out_left", "Output left");
  audio(korvel::lv2::kOutputRight, "OutputPort", "out_right", "Output right");
  for (int p = 0; p < kParameterPortCount; ++p) {
    t << "        [ a lv2:ControlPort , lv2:InputPort ; lv2:index " << korvel::lv2::kFirstParameter + p
      << " ; lv2:symbol \"param" << p + 1 << "\" ; lv2:name \"Parameter " << p + 1
      << "\" ; lv2:default 0.5 ; lv2:minimum 0.0 ; lv2:maximum 1.0 ] ,\n";
  }
  t << "        [ a atom:AtomPort , lv2:InputPort ; lv2:index " << korvel::lv2::kMidiIn
    << " ; lv2:symbol \"midi_in\" ; lv2:name \"MIDI in\" ;\n"
    << "          atom:bufferType atom:Sequence ; atom:supports midi:MidiEvent , time:Position , patch:Message ;\n"
    << "          lv2:designation lv2:control ; lv2:portProperty lv2:connectionOptional ] ,\n"
    << "        [ a atom:AtomPort , lv2:OutputPort ; lv2:index " << korvel::lv2::kNotify
    << " ; lv2:symbol \"notify\" ; lv2:name \"Notify\" ;\n"
    << "          atom:bufferType atom:Sequence ; atom:supports patch:Message ;\n"
    << "          lv2:designation lv2:control ; lv2:portProperty lv2:connectionOptional ] ,\n";
  using korvel::lv2::kSidechainLeft, korvel::lv2::kSidechainRight;
  for (const auto& [index, symbol, name] : {std::tuple{kSidechainLeft, "sidechain_left", "Sidechain left"},
                                            std::tuple{kSidechainRight, "sidechain_right", "Sidechain right"}}) {
    t << "        [ a lv2:AudioPort , lv2:InputPort ; lv2:index " << index << " ; lv2:symbol \"" << symbol
      << "\" ; lv2:name \"" << name << "\" ;\n"
      << "          lv2:portProperty lv2:isSideChain , lv2:connectionOptional ] ,\n";
  }
  t << "        [ a lv2:ControlPort , lv2:OutputPort ; lv2:index " << korvel::lv2::kLatency
    << " ; lv2:symbol \"latency\" ; lv2:name \"Latency\" ;\n"
    << "          lv2:designation lv2:latency ; lv2:portProperty lv2:reportsLatency , lv2:integer ;\n"
    << "          lv2:minimum 0 ; lv2:maximum 192000 ; lv2:default 0 ] .\n";
  return t.str();
}

struct Preset {
  std::string uri, label, comment, image;
  std::vector<double> values;
  std::vector<fs::path> sounds;  // relative to the module file's folder
};

Preset ReadPreset(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream bytes;
  bytes << in.rdbuf();
  Preset preset;
  preset.image = bytes.str();
  const auto json = nlohmann::json::parse(preset.image);
  preset.uri = std::string(korvel::lv2::kPresetUriPrefix) + file.stem().string();
  preset.label = json.value("name", file.stem().string());
  preset.comment = json.value("description", "");
  // The preset sets every control port: to the image's parameter values,
  // or to the ports' defaults.
  if (const auto it = json.find("components"); it != json.end() && it->is_array())
    for (const auto& component : *it)
      if (component.is_object() && component.contains("file") && component["file"].is_string()) {
        const fs::path sound = component["file"].get<std::string>();
        if (sound.empty()) continue;
        if (sound.is_absolute() || *sound.begin() == "..")
          throw std::runtime_error(file.string() + ": the sound " + sound.string() +
                                   " is not inside the examples folder; a preset could not carry it");
        preset.sounds.push_back(sound);
      }
  preset.values.assign(kParameterPortCount, 0.5);
  if (const auto it = json.find("parameters"); it != json.end() && it->is_array()) {
    for (std::size_t p = 0; p < it->size() && p < preset.values.size(); ++p) {
      const auto& entry = (*it)[p];
      if (entry.is_object() && entry.contains("value") && entry["value"].is_number())
        preset.values[p] = entry["value"].get<double>();
    }
  }
  return preset;
}

std::string PresetsTurtle(const std::vector<Preset>& presets) {
  std::ostringstream t;
  t << kPrefixes;
  for (const Preset& preset : presets) {
    t << Uri(preset.uri) << "\n"
      << "    a pset:Preset ;\n"
      << "    lv2:appliesTo " << Uri(korvel::lv2::kPluginUri) << " ;\n"
      << "    rdfs:label " << Literal(preset.label) << " ;\n";
    if (!preset.comment.empty()) t << "    rdfs:comment " << Literal(preset.comment) << " ;\n";
    t << "    lv2:port\n";
    for (int p = 0; p < kParameterPortCount; ++p) {
      t << "        [ lv2:symbol \"param" << p + 1 << "\" ; pset:value " << Number(preset.values[p]) << " ]"
        << (p + 1 < kParameterPortCount ? " ,\n" : " ;\n");
    }
    t << "    state:state [\n"
      << "        " << Uri(korvel::lv2::kModuleImageUri) << " " << Literal(preset.image) << "\n"
      << "    ] .\n\n";
  }
  return t.str();
}

std::string ManifestTurtle(const std::string& binary, const std::string& ui_binary,
                           const std::vector<Preset>& presets) {
  std::ostringstream t;
  t << kPrefixes;
  t << Uri(korvel::lv2::kPluginUri) << "\n"
    << "    a lv2:Plugin ;\n"
    << "    lv2:binary <" << binary << "> ;\n"
    << "    rdfs:seeAlso <korvel.ttl> .\n";
  // The UI is described here whole: a host that only lists UIs reads the
  // manifest alone. It is driven by idle calls, embeds in the host's
  // window when given one, and hears the module on the notify port.
  t << "\n"
    << Uri(korvel::lv2::kUiUri) << "\n"
    << "    a ui:X11UI ;\n"
    << "    ui:binary <" << ui_binary << "> ;\n"
    << "    lv2:requiredFeature urid:map , ui:idleInterface ;\n"
    << "    lv2:optionalFeature ui:parent , ui:resize ;\n"
    << "    lv2:extensionData ui:idleInterface , ui:resize ;\n"
    << "    ui:portNotification [\n"
    << "        ui:plugin " << Uri(korvel::lv2::kPluginUri) << " ;\n"
    << "        lv2:symbol \"notify\" ;\n"
    << "        ui:protocol atom:eventTransfer\n"
    << "    ] .\n";
  for (const Preset& preset : presets) {
    t << "\n"
      << Uri(preset.uri) << "\n"
      << "    a pset:Preset ;\n"
      << "    lv2:appliesTo " << Uri(korvel::lv2::kPluginUri) << " ;\n"
      << "    rdfs:seeAlso <presets.ttl> .\n";
  }
  return t.str();
}

// Writes only when the text changed, so an unchanged bundle keeps its times.
void Write(const fs::path& file, const std::string& text);

void CopySounds(const fs::path& from, const fs::path& dir, const std::vector<fs::path>& sounds) {
  for (const fs::path& sound : sounds) {
    std::ifstream in(from / sound, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + (from / sound).string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    fs::create_directories((dir / sound).parent_path());
    Write(dir / sound, bytes.str());
  }
}

void Write(const fs::path& file, const std::string& text) {
  std::ifstream old(file, std::ios::binary);
  std::ostringstream current;
  if (old) current << old.rdbuf();
  if (old && current.str() == text) return;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: korvel_lv2_bundle OUT_DIR BINARY UI_BINARY MODULE.korvel...\n";
    return 2;
  }
  try {
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    std::vector<Preset> presets;
    for (int i = 4; i < argc; ++i) {
      presets.push_back(ReadPreset(argv[i]));
      CopySounds(fs::path(argv[i]).parent_path(), dir, presets.back().sounds);
    }
    Write(dir / "korvel.ttl", PluginTurtle());
    Write(dir / "presets.ttl", PresetsTurtle(presets));
    Write(dir / "manifest.ttl", ManifestTurtle(argv[2], argv[3], presets));
  } catch (const std::exception& e) {
    std::cerr << "korvel_lv2_bundle: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
