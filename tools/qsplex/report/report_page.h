// The page of `qsplex report`: one HTML file holding its style, its scripts
// and its data, so that it opens in any browser with no request leaving it.
#ifndef QSSTORAGE_TOOLS_QSPLEX_REPORT_REPORT_PAGE_H_
#define QSSTORAGE_TOOLS_QSPLEX_REPORT_REPORT_PAGE_H_

#include <string>

namespace qsplex {

// `json` (ASCII, as ReportJson writes it) as text a <script> element holds
// unchanged: '<', '>' and '&' as \u escapes, which can stand only inside
// its strings, so no element name can end the element or open a comment.
std::string ScriptSafeJson(const std::string& json);

// The whole page around the report's data `json`.
std::string ReportPage(const std::string& json);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_REPORT_REPORT_PAGE_H_
