// The streams Tabulix saves from the sound corpus files, walked by the strict verifier:
// every one keeps every invariant, whatever quirks its writer left in the original.

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "biff/stream_verifier.hpp"
#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

TEST(SavedStreams, TheCorpusSavesWellFormedStreams) {
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  test::LogCapture log;
  std::size_t saved = 0;
  std::size_t clean = 0;
  std::map<std::string, std::size_t> filesBreaking;  // invariant -> saved streams
  for (const auto& path : files) {
    XlsDocument document;
    if (!document.LoadBytes(test::ReadFileBytes(path), path.filename().string()) ||
        !document.BuildSavedStream()) {
      continue;
    }
    ++saved;
    const std::vector<std::string> findings = VerifyWorkbookStream(document.saveBuffer());
    std::set<std::string> broken;
    for (const std::string& finding : findings) {
      if (finding.rfind("... and ", 0) == 0) continue;
      const std::string invariant = finding.substr(0, finding.find(" at "));
      broken.insert(invariant);
      ADD_FAILURE() << path.filename() << ": " << finding;
    }
    for (const std::string& invariant : broken) ++filesBreaking[invariant];
    if (findings.empty()) ++clean;
  }
  EXPECT_GT(saved, files.size() * 9 / 10);
  std::string tally;
  for (const auto& [invariant, count] : filesBreaking) {
    tally += " " + invariant + " " + std::to_string(count) + ";";
  }
  std::cout << clean << " of " << saved << " saved streams are well-formed;" << tally << "\n";
}

}  // namespace
}  // namespace tabulix
