#include "tools/korvel/picture.h"

#include <cairo-svg.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace korvel::cli {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

std::optional<PictureFormat> PictureFormatOf(const std::string& path) {
  const std::string extension = Lower(std::filesystem::path(path).extension().string());
  if (extension == ".png") return PictureFormat::kPng;
  if (extension == ".svg") return PictureFormat::kSvg;
  return std::nullopt;
}

std::unique_ptr<Picture> Picture::Begin(const std::string& path, PictureFormat format, double width,
                                        double height, double scale, std::string& error) {
  std::unique_ptr<Picture> picture(new Picture);
  picture->path_ = path;
  picture->part_ = path + ".part";
  picture->format_ = format;
  // Asked first, so an unwritable place is reported in the system's words.
  if (FILE* probe = std::fopen(picture->part_.c_str(), "wb")) {
    std::fclose(probe);
  } else {
    error = "cannot write '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  const int pixels_wide = std::max(1, static_cast<int>(std::ceil(width * scale)));
  const int pixels_high = std::max(1, static_cast<int>(std::ceil(height * scale)));
  if (format == PictureFormat::kPng) {
    picture->surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, pixels_wide, pixels_high);
  } else {
    picture->surface_ = cairo_svg_surface_create(picture->part_.c_str(), pixels_wide, pixels_high);
    cairo_svg_surface_set_document_unit(picture->surface_, CAIRO_SVG_UNIT_PX);
  }
  if (cairo_surface_status(picture->surface_) != CAIRO_STATUS_SUCCESS) {
    error = "cannot make a " + std::to_string(pixels_wide) + " x " + std::to_string(pixels_high) + " picture for '" +
            path + "': " + cairo_status_to_string(cairo_surface_status(picture->surface_));
    return nullptr;
  }
  picture->cr_ = cairo_create(picture->surface_);
  cairo_scale(picture->cr_, scale, scale);
  return picture;
}

Picture::~Picture() {
  if (cr_ != nullptr) cairo_destroy(cr_);
  if (surface_ != nullptr) cairo_surface_destroy(surface_);
  if (!finished_) {
    std::error_code ignored;
    std::filesystem::remove(part_, ignored);
  }
}

bool Picture::Finish(std::string& error) {
  cairo_status_t status = cairo_status(cr_);
  if (status == CAIRO_STATUS_SUCCESS) {
    if (format_ == PictureFormat::kPng) {
      status = cairo_surface_write_to_png(surface_, part_.c_str());
    } else {
      cairo_surface_finish(surface_);
      status = cairo_surface_status(surface_);
    }
  }
  if (status != CAIRO_STATUS_SUCCESS) {
    error = "cannot write '" + path_ + "': " + cairo_status_to_string(status);
    return false;
  }
  std::error_code failed;
  std::filesystem::rename(part_, path_, failed);
  if (failed) {
    error = "cannot write '" + path_ + "': " + failed.message();
    return false;
  }
  finished_ = true;
  return true;
}

void SetColour(cairo_t* cr, unsigned colour, double alpha) {
  cairo_set_source_rgba(cr, (colour & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, ((colour >> 16) & 0xFF) / 255.0,
                        alpha);
}

}  // namespace korvel::cli
