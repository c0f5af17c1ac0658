// Files the user names, through every command that writes or reads one:
// no writer ever destroys a file (the same file as an input under any name,
// a planted name, a read-only folder, a full disk), no reader takes an
// input that is not a file or has no end, and no signal leaves a temporary
// file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::ReadBytes;

class FileSafety : public ::testing::Test {
 protected:
  testing::ScratchDir scratch{"safety"};
  std::string Path(const std::string& name) const { return scratch.Path(name); }
  Outcome Shell(const std::string& line) const { return scratch.Run(line); }
  static std::string Korvel() { return KORVEL_CLI; }
  static std::string Example(const std::string& name) { return std::string(KORVEL_EXAMPLES) + "/" + name; }

  // Every entry of a folder (hidden ones too) with its bytes (a digest of
  // long ones), or where a link points.
  std::map<std::string, std::string> Snapshot(const std::string& folder = "") const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(scratch.dir() / folder)) {
      const std::string name = entry.path().filename().string();
      if (name == "stderr.txt") continue;
      std::string bytes = entry.is_symlink()        ? "link to " + fs::read_symlink(entry.path()).string()
                          : entry.is_regular_file() ? ReadBytes(entry.path().string())
                                                    : "special";
      if (bytes.size() > 64) bytes = std::to_string(bytes.size()) + " bytes #" + std::to_string(std::hash<std::string>{}(bytes));
      files[name] = bytes;
    }
    return files;
  }

  static void ExpectOneLine(const Outcome& run, const std::string& what) {
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << ": one line\n" << run.err;
  }
};

// Each writer, with an output name of the kind it writes.
struct Writer {
  const char* command;  // MODULE and OUT are filled in
  const char* extension;
  bool reads_module;
};
const Writer kWriters[] = {
    {"render MODULE -o OUT --seconds 0.05 -q", ".wav", true},
    {"render MODULE -i noise.wav -o OUT -q", ".ogg", true},
    {"draw MODULE -o OUT", ".png", true},
    {"draw MODULE -o OUT", ".svg", true},
    {"plot MODULE -o OUT", ".png", true},
    {"new OUT --force", ".korvel", false},
};

std::string Fill(std::string command, const std::string& module, const std::string& out) {
  command.replace(command.find("OUT"), 3, out);
  if (const auto at = command.find("MODULE"); at != std::string::npos) command.replace(at, 6, module);
  return command;
}

TEST_F(FileSafety, NoWriterDestroysAFile) {
  // Noise, so that the Ogg output is larger than the smallest file limit.
  {
    std::ofstream wav(Path("noise.wav"), std::ios::binary);
    const unsigned char header[44] = {'R', 'I', 'F', 'F', 0x24, 0x71, 0x02, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                      16, 0, 0, 0, 1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0,
                                      'd', 'a', 't', 'a', 0x00, 0x71, 0x02, 0};
    wav.write(reinterpret_cast<const char*>(header), sizeof header);
    std::uint32_t state = 1;
    for (int i = 0; i < 80000; ++i) {
      state = state * 1664525u + 1013904223u;
      wav.put(static_cast<char>(state >> 24));
      wav.put(static_cast<char>(state >> 16));
    }
  }
  fs::create_directory(Path("ro"));
  std::ofstream(Path("victim.txt")) << "not to be touched";
  // Root writes anywhere: the read-only folder is tried as nobody.
  const std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";

  for (const Writer& w : kWriters) {
    const std::string ext = w.extension;
    SCOPED_TRACE(std::string(w.command) + " " + ext);
    // The module under a name of the output's kind, so that the writer's
    // own checks of the name pass and only the same-file check remains.
    const std::string module = "module" + ext;
    std::ofstream(Path(module)) << ReadBytes(Example("passthrough.korvel"));
    fs::create_hard_link(Path(module), Path("hard" + ext));
    fs::create_symlink(module, Path("soft" + ext));
    fs::create_symlink("/dev/stdin", Path("stdin" + ext));
    std::ofstream(Path("old" + ext)) << "an earlier file";
    std::ofstream(Path("ro/old" + ext)) << "an earlier file";
    chmod(Path("ro").c_str(), 0555);
    // Names a writer with a fixed temporary name would use, planted.
    for (const char* planted : {".part", ".saving", ".tmp"}) fs::create_symlink("victim.txt", Path("old" + ext + planted));
    const auto before = Snapshot();

    if (w.reads_module) {
      for (const std::string& out : {module, "hard" + ext, "soft" + ext, "stdin" + ext}) {
        const Outcome run = Shell(Korvel() + " " + Fill(w.command, module, out) + " < " + module);
        EXPECT_EQ(run.status, 1) << out << ": " << run.err;
        EXPECT_NE(run.err.find("cannot write '" + out + "': it is the same file as the module '" + module + "'"),
                  std::string::npos)
            << run.err;
        ExpectOneLine(run, out);
        EXPECT_EQ(Snapshot(), before) << out;
      }
    }
    // A full disk, as a file size limit of 512 bytes makes one.
    Outcome run = Shell("ulimit -f 1; " + Korvel() + " " + Fill(w.command, module, "old" + ext));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("cannot write 'old" + ext + "': File too large"), std::string::npos) << run.err;
    ExpectOneLine(run, "full");
    EXPECT_EQ(Snapshot(), before) << "the old file stays, no temporary file is left";
    // A folder the user may not write to.
    run = Shell(as_user + Korvel() + " " + Fill(w.command, module, "ro/old" + ext));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("cannot write 'ro/old" + ext + "': Permission denied"), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(Path("ro/old" + ext)), "an earlier file");
    EXPECT_EQ(Snapshot("ro").size(), 1u);
    // And when all is well, the file is replaced and the planted names are
    // neither followed nor used.
    run = Shell(Korvel() + " " + Fill(w.command, module, "old" + ext));
    EXPECT_EQ(run.status, 0) << run.err;
    auto after = Snapshot();
    EXPECT_NE(after["old" + ext], "an earlier file");
    after["old" + ext] = before.at("old" + ext);
    EXPECT_EQ(after, before);
    chmod(Path("ro").c_str(), 0755);
    fs::remove(Path("ro/old" + ext));
    for (const auto& [name, bytes] : before)
      if (name != "victim.txt" && name != "noise.wav" && name != "ro") fs::remove(Path(name));
  }
}

// Each reader, and the bound of what it reads.
struct Reader {
  const char* command;  // IN is filled in
  std::size_t bound;    // 0: a stream, no bound
  bool empty_is_fine;
};
const Reader kReaders[] = {
    {"render IN -o out.wav -q", 4u << 20, false},
    {"info IN", 4u << 20, false},
    {"draw IN -o out.png", 4u << 20, false},
    {"script IN", 4u << 20, false},
    {"render m.korvel -o out.wav -q --automation IN", 16u << 20, true},
    {"render m.korvel -o out.wav -q --midi IN", 4u << 20, false},
    {"render m.korvel -o out.wav -q -i IN", 0, false},
};

TEST_F(FileSafety, NoReaderTakesWhatIsNotAFileOrHasNoEnd) {
  std::ofstream(Path("m.korvel")) << ReadBytes(Example("passthrough.korvel"));
  fs::create_directory(Path("folder"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  for (const Reader& r : kReaders) {
    SCOPED_TRACE(r.command);
    const auto run = [&](const std::string& prefix, const std::string& in) {
      std::string command = r.command;
      command.replace(command.find("IN"), 2, in);
      // A reader that waited would end here with timeout's 124.
      return Shell(prefix + "timeout 60 " + Korvel() + " " + command);
    };
    struct Case {
      std::string prefix, in, says;
    };
    std::vector<Case> cases = {
        {"", "/dev/zero", "cannot read '/dev/zero': it is a device, not a file"},
        {"", "/dev/urandom", "cannot read '/dev/urandom': it is a device, not a file"},
        {"", "folder", "cannot read 'folder': it is a directory"},
    };
    if (r.bound > 0) {
      const std::string big = "big" + std::to_string(r.bound);
      std::ofstream(Path(big));
      fs::resize_file(Path(big), r.bound + 1);
      cases.push_back({"", big, "the file is too large (" + std::to_string(r.bound + 1) + " bytes; at most " +
                                    std::to_string(r.bound) + ")"});
      cases.push_back({"yes 0,1,0.5 | ", "/dev/stdin",
                       "'/dev/stdin': the input is too large (more than " + std::to_string(r.bound) + " bytes)"});
    }
    for (const Case& c : cases) {
      const Outcome out = run(c.prefix, c.in);
      EXPECT_EQ(out.status, 1) << c.in << ": " << out.err;
      EXPECT_NE(out.err.find(c.says), std::string::npos) << c.in << ": " << out.err;
      ExpectOneLine(out, c.in);
    }
    // A FIFO nobody writes to reads as empty, at once.
    const Outcome fifo = run("", "fifo");
    EXPECT_EQ(fifo.status, r.empty_is_fine ? 0 : 1) << fifo.err;
    EXPECT_FALSE(fs::exists(Path("out.wav")) && !r.empty_is_fine);
    fs::remove(Path("out.wav"));
  }
}

TEST_F(FileSafety, NoSignalLeavesATemporaryFile) {
  std::ofstream(Path("m.korvel")) << ReadBytes(Example("passthrough.korvel"));
  std::ofstream(Path("old.wav")) << "an earlier render";
  // A WAV stream that never ends.
  std::ofstream(Path("header.bin"), std::ios::binary)
      << std::string("RIFF\xff\xff\xff\xffWAVEfmt \x10\0\0\0\1\0\2\0\x44\xac\0\0\x10\xb1\2\0\4\0\x10\0data\xff\xff\xff\xff", 44);
  const auto before = Snapshot();
  for (const std::string signal : {"INT", "TERM", "HUP", "QUIT", "PIPE", "ALRM", "USR1", "USR2", "XCPU", "ABRT"}) {
    // With job control, a background job keeps SIGINT and SIGQUIT.
    const Outcome run = Shell("bash -c 'set -m; (cat header.bin; cat /dev/zero) | " + Korvel() +
                              " render m.korvel -i - -o old.wav -q & pid=$!; "
                              "until ls -a | grep -q \"^\\.old\\.wav\\.korvel-\"; do sleep 0.01; done; "
                              "kill -" + signal + " $pid; wait $pid; echo $?' 2>/dev/null");
    EXPECT_GT(std::stoi(run.out), 128) << signal << ": ended by the signal";
    EXPECT_EQ(Snapshot(), before) << signal;
  }
}

}  // namespace
}  // namespace korvel
