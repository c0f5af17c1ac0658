// Pictures for the command-line host: a cairo surface for a PNG or an SVG
// file, chosen by the file's extension, written whole or not at all.
#pragma once

#include <cairo.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_io.h"
#include "tools/korvel/cli.h"

namespace korvel::cli {

enum class PictureFormat { kPng, kSvg };

// By extension (".png", ".svg", any case); nothing for others.
std::optional<PictureFormat> PictureFormatOf(const std::string& path);

// The largest picture made, PNG or SVG: no side above kMaxPictureSide
// pixels and no more than kMaxPicturePixels in all (a 16,384 × 4,096 PNG
// takes 256 MB to draw).
inline constexpr double kMaxPictureSide = 16384;
inline constexpr double kMaxPicturePixels = 67108864;  // 2^26, "64 megapixels"

// The pixels a picture of `width` × `height` units takes at `scale`, when
// within the bounds; false with `reason` saying the size and the bounds.
bool PictureFits(double width, double height, double scale, int& pixels_wide, int& pixels_high,
                 std::string& reason);

// Drawing happens in units; a PNG has `scale` pixels per unit, an SVG is
// `width` × `height` points with the same units.
class Picture {
 public:
  // Null with `error` set ("cannot write 'PATH': reason") when the picture
  // would be too large, `path` may not be written (it is a directory, or
  // one of `inputs`...) or the surface cannot be made.
  static std::unique_ptr<Picture> Begin(const std::string& path, const std::vector<ProtectedInput>& inputs,
                                        PictureFormat format, double width, double height, double scale,
                                        std::string& error);
  ~Picture();
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  cairo_t* cr() const { return cr_; }
  // Writes the file through the one writer (engine/file_io.h): a temporary
  // file beside it, renamed over it when complete, so a failed write leaves
  // nothing and an old file stays until the new one is complete.
  bool Finish(std::string& error);

 private:
  Picture() = default;
  std::string path_;
  std::unique_ptr<OutputFile> file_;
  PictureFormat format_ = PictureFormat::kPng;
  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
};

// The plots' text: whatever sans-serif face fontconfig prefers.
inline constexpr char kSansFamily[] = "sans-serif";


// Sets the colour from a 0x00BBGGRR value.
void SetColour(cairo_t* cr, unsigned colour, double alpha = 1.0);

}  // namespace korvel::cli
