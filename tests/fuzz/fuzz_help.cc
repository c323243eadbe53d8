// libFuzzer targets of the legacy INI reader and the help file mergers;
// scripts/fuzz builds one binary per target (KEL_FUZZ_TARGET).
#include <apr_general.h>
#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "bc_help.h"
#include "fuzz_env.h"

namespace {

VexoIniSection Element(const char* ini, const char* agent) {
  VexoIniSection e{};
  snprintf(e.iniFileName, sizeof e.iniFileName, "%s", ini);
  snprintf(e.vexoName, sizeof e.vexoName, "%s", agent);
  return e;
}

// The text merged as the portal's own file and then as two agents' (the
// second with the text again, so that every entry meets its twin), then
// written out.
void MergeHelp(int kind, const std::string& text) {
  HelpAggregate agg(kind, BcLogSink());
  const VexoIniSection sources[] = {Element("oldhelp.ini", "nonVEXO"), Element("a.ini", "/A"),
                                    Element("b.ini", "/B")};
  const char* values[] = {"old.hhx", "help/a.hhx", "sub\\b.hhx"};
  for (int i = 0; i < 3; ++i) {
    SetHelpSource(&agg, sources[i], values[i]);
    agg.result = kind == kHelpContents ? MergeContentsText(&agg, text.c_str(), "f")
                 : kind == kHelpIndex  ? MergeIndexText(&agg, text.c_str(), "f")
                                       : MergeSearchText(&agg, text.c_str());
  }
  if (kind == kHelpContents) GroupContentsRuns(&agg);
  std::string out;
  if (kind != kHelpSearch || agg.search) RenderHelpFile(agg, &out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
#if KEL_FUZZ_TARGET == 0
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, kelfuzz::Pool());
  VexoIniSection e{};
  ReadCommonHomePage(pool, text.c_str(), &e, BcLogSink());
  const char* cursor = nullptr;
  size_t length = 0;
  char name[8], value[8];  // small buffers: every record is too long for one
  for (int i = 0; i < 1000; ++i) {
    DrkVexoGetSectionRecord(text.c_str(), "x", &cursor, &length, name, sizeof name, value, sizeof value, BcLogSink());
    if (length == 0) break;
  }
  apr_pool_destroy(pool);
#else
  kelfuzz::Pool();
  MergeHelp(KEL_FUZZ_TARGET, text);
#endif
  return 0;
}
