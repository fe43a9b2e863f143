#include "cli/export_files.h"

#include "cli/html_report.h"
#include "cli/metrics.h"
#include "cli/output_file.h"

#include <cerrno>
#include <cstring>

namespace {

struct export_source {
  const export_file *file;
  const export_run *run;
  const run_results *results;
};

void write_one(std::FILE *out, const void *context) {
  const export_source *s = static_cast<const export_source *>(context);
  s->file->write(out, s->run, *s->results);
}

void csv_writer(std::FILE *out, const export_run *, const run_results &r) {
  write_csv(out, r);
}

bool is_file(const char *path) {
  return path && !is_stdout(path);
}

} // namespace

bool is_stdout(const char *path) {
  return path && std::strcmp(path, "-") == 0;
}

void prepare_export_files(export_files *f, const cli_options &o) {
  f->files[0] = {"--json",
                 "json: ", is_file(o.json_path) ? o.json_path : nullptr,
                 write_json, false};
  f->files[1] = {"--csv", "csv:  ", is_file(o.csv_path) ? o.csv_path : nullptr,
                 csv_writer, false};
  f->files[2] = {"--html", "html: ", o.html_path, write_html, false};
  f->files[3] = {"--metrics", "metrics: ", o.metrics_path, write_metrics,
                 false};
}

std::vector<std::string> write_export_files(export_files *f,
                                            const export_run *run,
                                            const run_results &r) {
  std::vector<std::string> trouble;
  for (export_file &file : f->files) {
    if (!file.path)
      continue;
    const export_source source{&file, run, &r};
    file.written = replace_file(file.path, write_one, &source) == 0;
    if (!file.written) {
      trouble.push_back(std::string("cannot write ") + file.path + ": " +
                        std::strerror(errno));
      f->write_failed = true;
    }
  }
  return trouble;
}
