#include "tools/qsplex/report/report_page.h"

#include <cstring>

namespace qsplex {

// The page's files, embedded when qsplex is built (see report.cmake).
extern const char kReportHtml[];
extern const char kReportCss[];
extern const char kTreemapJs[];
extern const char kReportJs[];

namespace {

// `page` with the first `marker` replaced by `text`.
void Fill(std::string* page, const char* marker, const std::string& text) {
  const size_t at = page->find(marker);
  if (at != std::string::npos) page->replace(at, std::strlen(marker), text);
}

}  // namespace

std::string ScriptSafeJson(const std::string& json) {
  std::string safe;
  safe.reserve(json.size() + json.size() / 64);
  for (char c : json) {
    switch (c) {
      case '<':
        safe += "\\u003c";
        break;
      case '>':
        safe += "\\u003e";
        break;
      case '&':
        safe += "\\u0026";
        break;
      default:
        safe += c;
    }
  }
  return safe;
}

std::string ReportPage(const std::string& json) {
  std::string page = kReportHtml;
  // The data last: the markers cannot then be found inside it.
  Fill(&page, "/*QSPLEX_CSS*/", kReportCss);
  Fill(&page, "/*QSPLEX_SCRIPT*/", std::string(kTreemapJs) + "\n" + kReportJs);
  Fill(&page, "QSPLEX_DATA", ScriptSafeJson(json));
  return page;
}

}  // namespace qsplex
