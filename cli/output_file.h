// The files the terminal program writes besides the log's: checked before
// the run, so that a path that cannot be written costs no run, and replaced
// whole after every nameserver, so that a reader never sees half a file.
#ifndef CLI_OUTPUT_FILE_H
#define CLI_OUTPUT_FILE_H

#include <cstdio>
#include <string>

enum {
  OUTPUT_IN_PLACE, // opened and written (the log)
  OUTPUT_REPLACED, // written beside it and renamed into place (replace_file)
};

// 0 when the file at `path` can be written the `way` given; else -1 with the
// reason in `reason` ("is a directory"). Nothing is left behind either way.
int check_output_path(const char *path, int way, std::string *reason);

// Replaces the file at `path` with what `write` produces, by way of a
// temporary file beside it that is renamed into place. A symbolic link is
// followed and its target replaced; an existing file keeps its permission
// bits. 0, or -1 with errno set to what failed (the file is then untouched
// and the temporary file gone).
int replace_file(const char *path,
                 void (*write)(std::FILE *out, const void *context),
                 const void *context);

#endif
