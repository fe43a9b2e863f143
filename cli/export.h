// The machine-readable results: JSON and CSV, written whole through a
// temporary file renamed into place, so that a reader never sees half a
// file and a stopped run keeps every finished nameserver.
#ifndef CLI_EXPORT_H
#define CLI_EXPORT_H

#include <cstdio>
#include <string>

struct export_run {
  std::string started; // ISO 8601, local time with its offset
  const char *list_path;
  int stored;
  int usable;
  int passes_planned;
};

// Makes the text of pass `index` for each format, once, after it is kept.
void export_pass(int index);
// The whole JSON document or CSV file of the passes exported so far.
void write_json(std::FILE *out, const export_run *run);
void write_csv(std::FILE *out);

// Replaces the file at `path` with what `write` produces, by way of a
// temporary file beside it; 0, or -1 with errno set (the file is then
// untouched and the temporary file gone).
int replace_file(const char *path, void (*write)(std::FILE *out));
// 0 when a file can be created beside `path` (checked before the run).
int check_writable(const char *path);

// The texts of the list's domains as the exports write them; made once.
void prepare_domain_texts(void);

#endif
