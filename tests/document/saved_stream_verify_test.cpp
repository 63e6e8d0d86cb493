// The streams Tabulix saves from the sound corpus files, walked by the strict verifier. The
// invariants every saved stream keeps today must stay kept; the ones some still break wait
// for the pass that makes the model well-formed before the save. Take an invariant out of
// kNotYetKept once that pass keeps it, and the test holds the save to it.

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

// Invariants some saved corpus stream breaks today, and why:
const std::set<std::string> kNotYetKept = {
    "formula-names",        // the saved globals keep no NAME records
    "formula-externsheet",  // nor EXTERNSHEET records
    "formula-tokens",       // a formula's tokens are saved as read (one natural-language one)
    "formula-code",         // a FORMULA read under an older version's code keeps it
    "record-size",          // records read shorter or longer than their size keep it (COLINFO)
    "index-rows",           // a sheet read whole gets an INDEX of rows 0 to 0
    "cell-order",           // cells of a sheet read whole keep their order, right or wrong
    "dimensions",           // DIMENSIONS read with the sheet, right or wrong
    "row-dimensions",
    "row-span",   // ROW records read with the sheet, right or wrong
    "xf-parent",  // XF records are saved as read
};

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
      EXPECT_TRUE(kNotYetKept.count(invariant) == 1) << path.filename() << ": " << finding;
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
  for (const std::string& invariant : kNotYetKept) {
    if (filesBreaking.count(invariant) == 0) {
      std::cout << "every saved stream keeps " << invariant << ": take it out of kNotYetKept\n";
    }
  }
  if (clean != saved) {
    GTEST_SKIP() << saved - clean << " of " << saved
                 << " saved streams still break invariants the save does not keep yet:" << tally;
  }
}

}  // namespace
}  // namespace tabulix
