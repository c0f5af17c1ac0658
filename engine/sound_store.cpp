#include "engine/sound_store.h"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <new>

#include "engine/sound_file.h"

namespace korvel {
namespace {

// What tells one version of a file from the next.
struct Identity {
  long long size = -1;
  long long modified = 0;
  bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const std::string& path) {
  Identity identity;
#ifdef _WIN32
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) == 0) identity = {static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtime)};
#else
  struct stat st {};
  if (stat(path.c_str(), &st) == 0)
    identity = {static_cast<long long>(st.st_size),
                static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
#endif
  return identity;
}

struct Entry {
  Identity identity;
  std::weak_ptr<const Sound> sound;
};

std::mutex g_mutex;
std::map<std::string, Entry>& Sounds() {
  static std::map<std::string, Entry> sounds;
  return sounds;
}

// Entries whose sound has gone. The caller holds g_mutex.
void ForgetExpiredLocked() {
  auto& sounds = Sounds();
  for (auto it = sounds.begin(); it != sounds.end();) it = it->second.sound.expired() ? sounds.erase(it) : std::next(it);
}

}  // namespace

SoundRef LoadSound(const std::string& path, std::string& reason) {
  const Identity identity = IdentityOf(path);
  {
    std::lock_guard lock(g_mutex);
    ForgetExpiredLocked();
    const auto it = Sounds().find(path);
    if (it != Sounds().end() && it->second.identity == identity && identity.size >= 0)
      if (SoundRef shared = it->second.sound.lock()) return shared;
  }
  std::shared_ptr<Sound> sound;
  try {
    sound = std::make_shared<Sound>();
    sound->path = path;
  } catch (const std::bad_alloc&) {
    reason = "not enough memory";
    return nullptr;
  }
  if (!ReadSoundFile(path, *sound, reason)) return nullptr;
  std::lock_guard lock(g_mutex);
  Entry& entry = Sounds()[path];
  // Another thread may have read the same version meanwhile: keep one.
  if (entry.identity == identity)
    if (SoundRef shared = entry.sound.lock()) return shared;
  entry = {identity, sound};
  return sound;
}

std::size_t LoadedSoundCount() {
  std::lock_guard lock(g_mutex);
  ForgetExpiredLocked();
  return Sounds().size();
}

std::size_t LoadedSoundBytes() {
  std::lock_guard lock(g_mutex);
  std::size_t bytes = 0;
  for (const auto& [path, entry] : Sounds())
    if (const SoundRef sound = entry.sound.lock()) bytes += sound->samples.size() * sizeof(float);
  return bytes;
}

}  // namespace korvel
