// The HTML report: one self-contained page (inline CSS and SVG, no script,
// nothing fetched) of the passes kept so far, for a browser or a mail.
#ifndef CLI_HTML_REPORT_H
#define CLI_HTML_REPORT_H

#include "cli/export.h"

#include <cstdio>
#include <string>

enum {
  // Failed names shown per provider and nameserver; JSON and CSV keep all.
  HTML_NAMES_PER_CELL = 200,
};

void write_html(std::FILE *out, const export_run *run, const run_results &r);

// `text` with & < > " ' as character references: safe as element text and
// as a quoted attribute value.
std::string html_escape(const std::string &text);

// What every page of the program shares: its start up to its heading, a
// heat-map cell of a rate (percent; NaN for none) with its attributes
// (` data-x="..."`, escaped), and the legend of the cells' colours.
std::string html_page_start(const char *title);
std::string html_rate_cell(double rate, const std::string &attributes);
std::string html_rate_legend(void);

#endif
