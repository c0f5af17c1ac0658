// How the sound files a module names are written in its image. Inside the
// engine every path is absolute; an image stores each one in the form that
// lets the module travel: relative to the module file when the sound lies
// in the module file's folder or below it, absolute otherwise, or in the
// host's own form where the host maps paths itself (LV2).
#pragma once

#include <functional>
#include <string>

namespace korvel {

struct ImagePaths {
  // The folder of the module file the image is read from or written to.
  // Empty: no file (a host's state chunk): paths are written absolute, and
  // a relative one is read against the working directory.
  std::string folder;
  // A host's own mapping, used in place of the folder when set: stored form
  // to absolute path and back. An empty answer leaves the path as it is.
  std::function<std::string(const std::string& stored)> to_absolute;
  std::function<std::string(const std::string& absolute)> to_stored;

  // The absolute, normalised path a stored one names ("" stays "").
  std::string Absolute(const std::string& stored) const;
  // The form to store an absolute path in: relative, with '/' between its
  // parts, when it lies under `folder`.
  std::string Stored(const std::string& absolute) const;
};

// The folder a file lies in, absolute ("" when it cannot be told).
std::string FolderOf(const std::string& file);

}  // namespace korvel
