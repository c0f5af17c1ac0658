#include "tools/korvel/picture.h"

#include <cairo-svg.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "tools/korvel/text_format.h"

namespace korvel::cli {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// cairo hands the encoded picture over in pieces; each goes to the file.
cairo_status_t WritePiece(void* file, const unsigned char* data, unsigned int length) {
  return static_cast<OutputFile*>(file)->Write(data, length) ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace

std::optional<PictureFormat> PictureFormatOf(const std::string& path) {
  const std::string extension = Lower(std::filesystem::path(path).extension().string());
  if (extension == ".png") return PictureFormat::kPng;
  if (extension == ".svg") return PictureFormat::kSvg;
  return std::nullopt;
}

bool PictureFits(double width, double height, double scale, int& pixels_wide, int& pixels_high,
                 std::string& reason) {
  const double wide = std::max(1.0, std::ceil(width * scale));
  const double high = std::max(1.0, std::ceil(height * scale));
  if (!(wide <= kMaxPictureSide && high <= kMaxPictureSide && wide * high <= kMaxPicturePixels)) {
    const auto whole = [](double v) { return v < 9e18 ? Grouped(static_cast<std::int64_t>(v)) : ShortestNumber(v); };
    reason = "the picture would be " + whole(wide) + " x " + whole(high) + " pixels; at most " +
             Grouped(static_cast<std::int64_t>(kMaxPictureSide)) + " on a side and 64 megapixels in all";
    return false;
  }
  pixels_wide = static_cast<int>(wide);
  pixels_high = static_cast<int>(high);
  return true;
}

std::unique_ptr<Picture> Picture::Begin(const std::string& path, const std::vector<ProtectedInput>& inputs,
                                        PictureFormat format, double width, double height, double scale,
                                        std::string& error) {
  std::unique_ptr<Picture> picture(new Picture);
  picture->path_ = path;
  picture->format_ = format;
  int pixels_wide = 0, pixels_high = 0;
  std::string reason;
  if (!PictureFits(width, height, scale, pixels_wide, pixels_high, reason)) {
    error = "cannot draw '" + path + "': " + reason;
    return nullptr;
  }
  // Made first, so an unwritable place is reported before any drawing.
  picture->file_ = OutputFile::Create(path, inputs, Existing::kReplace, reason);
  if (!picture->file_) {
    error = "cannot write '" + path + "': " + reason;
    return nullptr;
  }
  if (format == PictureFormat::kPng) {
    picture->surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, pixels_wide, pixels_high);
  } else {
    picture->surface_ =
        cairo_svg_surface_create_for_stream(WritePiece, picture->file_.get(), pixels_wide, pixels_high);
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
  // An uncommitted file_ removes its temporary file.
}

bool Picture::Finish(std::string& error) {
  cairo_status_t status = cairo_status(cr_);
  if (status == CAIRO_STATUS_SUCCESS) {
    if (format_ == PictureFormat::kPng) {
      status = cairo_surface_write_to_png_stream(surface_, WritePiece, file_.get());
    } else {
      cairo_surface_finish(surface_);
      status = cairo_surface_status(surface_);
    }
  }
  std::string reason;
  if (status != CAIRO_STATUS_SUCCESS) {
    // A failed write in the system's words ("No space left on device").
    error = "cannot write '" + path_ + "': " + (file_->error().empty() ? cairo_status_to_string(status) : file_->error());
    return false;
  }
  if (!file_->Commit(reason)) {
    error = "cannot write '" + path_ + "': " + reason;
    return false;
  }
  return true;
}

void SetColour(cairo_t* cr, unsigned colour, double alpha) {
  cairo_set_source_rgba(cr, (colour & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, ((colour >> 16) & 0xFF) / 255.0,
                        alpha);
}

}  // namespace korvel::cli
