// Pictures for the command-line host: a cairo surface for a PNG or an SVG
// file, chosen by the file's extension, written whole or not at all.
#pragma once

#include <cairo.h>

#include <memory>
#include <optional>
#include <string>

#include "tools/korvel/cli.h"

namespace korvel::cli {

enum class PictureFormat { kPng, kSvg };

// By extension (".png", ".svg", any case); nothing for others.
std::optional<PictureFormat> PictureFormatOf(const std::string& path);

// Drawing happens in units; a PNG has `scale` pixels per unit, an SVG is
// `width` × `height` points with the same units.
class Picture {
 public:
  // Null with `error` set when the surface cannot be made.
  static std::unique_ptr<Picture> Begin(const std::string& path, PictureFormat format, double width,
                                        double height, double scale, std::string& error);
  ~Picture();
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  cairo_t* cr() const { return cr_; }
  // Writes the file: first beside it under a temporary name, then renamed,
  // so a failed write leaves nothing and an old file stays until the new
  // one is complete.
  bool Finish(std::string& error);

 private:
  Picture() = default;
  std::string path_, part_;
  PictureFormat format_ = PictureFormat::kPng;
  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
  bool finished_ = false;
};

// The plots' text: whatever sans-serif face fontconfig prefers.
inline constexpr char kSansFamily[] = "sans-serif";


// Sets the colour from a 0x00BBGGRR value.
void SetColour(cairo_t* cr, unsigned colour, double alpha = 1.0);

}  // namespace korvel::cli
