// tabulix-verify: is a saved workbook well-formed?
//
// Opens each file with the strict compound-document reader (a container that reader refuses
// is not one Tabulix writes), takes its "Workbook" stream (else "Book") and walks it with the
// strict stream verifier. Every broken invariant is printed as "FILE: finding" on standard
// output. The quality benchmark runs it on every output; a developer runs it on one.
//
// Exit status: 0 when every file is well-formed, 1 when any has a finding, 2 when a file
// cannot be opened strictly (or on a usage error).

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "biff/stream_verifier.hpp"
#include "storage/storage_reader.hpp"

namespace {

constexpr int kWellFormed = 0;
constexpr int kFindings = 1;
constexpr int kUnreadable = 2;

// Verifies one file; prints its findings. Returns its exit status.
int VerifyFile(const std::string& path) {
  std::string reason;
  const auto reader = tabulix::storage::StorageReader::Open(path, &reason);
  if (!reader) {
    std::cerr << "tabulix-verify: " << path << ": not a sound compound document: " << reason
              << "\n";
    return kUnreadable;
  }
  const std::u16string name = reader->HasStream(u"Workbook") ? u"Workbook" : u"Book";
  std::vector<std::uint8_t> stream;
  if (reader->ReadStream(name, stream, &reason) != tabulix::storage::ReadStatus::Ok) {
    std::cerr << "tabulix-verify: " << path << ": no readable workbook stream: " << reason << "\n";
    return kUnreadable;
  }
  const std::vector<std::string> findings = tabulix::VerifyWorkbookStream(stream);
  for (const std::string& finding : findings) std::cout << path << ": " << finding << "\n";
  return findings.empty() ? kWellFormed : kFindings;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (argc < 2 || first == "-h" || first == "--help") {
    std::cerr << "usage: tabulix-verify FILE.xls...\n"
                 "Checks that each workbook is well-formed, as Tabulix must save it; prints one\n"
                 "line \"FILE: finding\" per broken invariant. Exit status 0: all well-formed;\n"
                 "1: some finding; 2: a file is not a sound compound document with a workbook\n"
                 "stream.\n";
    return argc < 2 ? kUnreadable : kWellFormed;
  }
  int status = kWellFormed;
  for (int i = 1; i < argc; ++i) {
    const int one = VerifyFile(argv[i]);
    if (one == kUnreadable || status == kUnreadable) {
      status = kUnreadable;
    } else if (one == kFindings) {
      status = kFindings;
    }
  }
  std::cout.flush();
  return std::cout.good() ? status : kUnreadable;
}
