// Fuzz harness for rivetta: one whole run (analysis, item lists, metadata,
// rewrite, index, offset fix-ups, flag word) on an arbitrary input file, with
// one of a few settings files chosen by the input's last byte. It must never
// crash, read out of bounds or hang, whatever the bytes.
//
// With clang and libFuzzer:   cmake -DLUNVIK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ ...
//                             ./build-fuzz/fuzz/rivetta_fuzz fuzz/corpus
// Otherwise the same entry point replays the files named on the command line
// (the test suite replays fuzz/corpus this way).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rivetta/run.h"

namespace {

const char* const kSettings[] = {
    "",
    "[Config]\nMQV=2\nBuild_iTunes=1\nBuild_edts=1\nBuild_mfra=1\niMotion=1\n"
    "[DeleteAtom]\nItem0=free\nItem1=udta\n"
    "[InsertAtom]\nItem0=\\skip%00\nItem1=/moov/trak/free%00%00\nItem2=/moof/traf/pad!\nItem3=\\moov\\udta\\x%00\n",
    "[Config]\nA5504T=1\nBuild_mfra=2\nMQV=1\n[DeleteAtom]\nItem0=moof\n",
    "[Config]\nBuild_edts=1\n[DeleteAtom]\nItem0=MDAT\nItem1=stco\n[InsertAtom]\nItem0=/top%00\n",
};

std::string Folder() {
  static std::string folder = [] {
    char pattern[] = "/tmp/rivetta-fuzz-XXXXXX";
    char* dir = ::mkdtemp(pattern);
    return std::string(dir ? dir : "/tmp");
  }();
  return folder;
}

void WriteAll(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), std::streamsize(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  std::string dir = Folder();
  WriteAll(dir + "/in.mp4", data, size);
  const char* settings = kSettings[size ? data[size - 1] % 4 : 0];
  WriteAll(dir + "/s.ini", settings, std::string(settings).size());
  std::vector<std::string> args = {"rivetta", dir + "/in.mp4", dir + "/out.mp4", dir + "/s.ini"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  RunRivetta(int(argv.size()), argv.data());
  return 0;
}

#ifndef LUNVIK_LIBFUZZER
// Replays the files named on the command line.
int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) continue;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string bytes = ss.str();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++replayed;
  }
  std::fprintf(stderr, "replayed %d inputs\n", replayed);
  return 0;
}
#endif
