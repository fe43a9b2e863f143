// Reading runs' JSON with simdjson's On Demand parser: one pass over the
// file, nothing built of it but the set's compact columns, so that a run
// of a million lines costs its file's size once, while it is read.
#include "cli/run_set.h"

#include "version.h"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

using simdjson::ondemand::array;
using simdjson::ondemand::json_type;
using simdjson::ondemand::object;
using simdjson::ondemand::value;

// What went wrong, kept by the first failing step.
struct reading {
  run_set *set;
  std::string why;
};

bool failed(reading *r, const std::string &why) {
  if (r->why.empty())
    r->why = why;
  return false;
}

bool json_failed(reading *r, simdjson::error_code error) {
  return failed(r, std::string("not JSON, or cut short (") +
                       simdjson::error_message(error) + ")");
}

std::uint8_t word(run_set *set, std::string_view text) {
  for (std::size_t i = 0; i < set->words.size(); ++i) {
    if (set->words[i] == text)
      return static_cast<std::uint8_t>(i);
  }
  if (set->words.size() > 255)
    return 0; // no run has that many causes and verdicts
  set->words.emplace_back(text);
  return static_cast<std::uint8_t>(set->words.size() - 1);
}

bool text_of(value v, std::string *out) {
  std::string_view s;
  if (v.get_string().get(s))
    return false;
  out->assign(s);
  return true;
}

// A number, or NaN for null (or anything else).
double number_of(value v) {
  double d;
  return v.get_double().get(d) ? NO_FIGURE : d;
}

int count_of(value v) {
  std::int64_t n;
  return v.get_int64().get(n) ? 0 : static_cast<int>(n);
}

// Each field of an object, to `take`; false when the JSON breaks.
template <typename F> bool each_field(reading *r, value v, F take) {
  object o;
  simdjson::error_code error = v.get_object().get(o);
  if (error)
    return error == simdjson::INCORRECT_TYPE
               ? failed(r, "not a run of zelkor (an object expected)")
               : json_failed(r, error);
  for (auto field : o) {
    std::string_view key;
    value item;
    if ((error = field.unescaped_key().get(key)) ||
        (error = field.value().get(item)))
      return json_failed(r, error);
    if (!take(key, item))
      return false;
  }
  return true;
}

template <typename F> bool each_item(reading *r, value v, F take) {
  array a;
  simdjson::error_code error = v.get_array().get(a);
  if (error)
    return error == simdjson::INCORRECT_TYPE
               ? failed(r, "not a run of zelkor (an array expected)")
               : json_failed(r, error);
  for (auto element : a) {
    value item;
    if ((error = element.get(item)))
      return json_failed(r, error);
    if (!take(item))
      return false;
  }
  return true;
}

// A probe: {"outcome": ..., "error": ..., "authority": {"verdict": ...}}.
bool read_probe(reading *r, value v, run_cell *cell) {
  std::string outcome;
  std::string cause;
  std::string verdict;
  const bool read = each_field(r, v, [&](std::string_view key, value item) {
    if (key == "outcome")
      text_of(item, &outcome);
    else if (key == "error")
      text_of(item, &cause);
    else if (key == "authority")
      return each_field(r, item, [&](std::string_view k, value i) {
        if (k == "verdict")
          text_of(i, &verdict);
        return true;
      });
    return true;
  });
  if (!read)
    return false;
  cell->state = outcome == "ok"         ? CELL_OK
                : outcome == "negative" ? CELL_NEGATIVE
                : outcome.empty() || outcome == "none" || outcome == "-"
                    ? CELL_NOT_ASKED
                    : CELL_FAILED;
  // The outcome names the failure where it is its own (redirected,
  // suspect); else the error does.
  if (cell->state == CELL_FAILED)
    cell->cause = word(r->set, outcome == "failed" ? cause : outcome);
  cell->verdict = verdict.empty() ? 0 : word(r->set, verdict);
  return true;
}

std::uint32_t name_number(run_set *set, const std::string &provider,
                          const std::string &name) {
  const std::string key = provider + '\n' + name;
  auto found = set->name_index.find(key);
  if (found != set->name_index.end())
    return found->second;
  const std::uint32_t number = static_cast<std::uint32_t>(set->names.size());
  set->names.push_back(run_name{provider, name});
  set->name_index.emplace(key, number);
  return number;
}

void put_cell(run_column *column, std::uint32_t name, const run_cell &cell) {
  if (column->cells.size() <= name)
    column->cells.resize(name + 1);
  column->cells[name] = cell;
}

// {"provider": ..., "domain": ..., "bare": {...}, "www": {...}}
bool read_name(reading *r, value v, run_column *column) {
  std::string provider, domain;
  run_cell bare, www;
  const bool read = each_field(r, v, [&](std::string_view key, value item) {
    if (key == "provider")
      text_of(item, &provider);
    else if (key == "domain")
      text_of(item, &domain);
    else if (key == "bare")
      return read_probe(r, item, &bare);
    else if (key == "www")
      return read_probe(r, item, &www);
    return true;
  });
  if (!read)
    return false;
  if (domain.empty())
    return failed(r, "not a run of zelkor (a name without its domain)");
  put_cell(column, name_number(r->set, provider, domain), bare);
  put_cell(column, name_number(r->set, provider, "www." + domain), www);
  return true;
}

bool read_provider(reading *r, value v, run_column *column) {
  std::string tag;
  provider_rate rate;
  const bool read = each_field(r, v, [&](std::string_view key, value item) {
    if (key == "tag")
      text_of(item, &tag);
    else if (key == "probed")
      rate.probed = count_of(item);
    else if (key == "ok")
      rate.ok = count_of(item);
    else if (key == "rate")
      rate.rate = number_of(item);
    else if (key == "median_ms")
      rate.median_ms = number_of(item);
    else if (key == "p95_ms")
      rate.p95_ms = number_of(item);
    return true;
  });
  if (!read)
    return false;
  if (rate.probed == 0)
    return true; // the list named none of its lines
  std::vector<std::string> &providers = r->set->providers;
  if (std::find(providers.begin(), providers.end(), tag) == providers.end())
    providers.push_back(tag);
  column->providers[tag] = rate;
  return true;
}

bool read_nameserver(reading *r, value v, run_column *column) {
  return each_field(r, v, [&](std::string_view key, value item) {
    if (key == "address")
      return text_of(item, &column->nameserver) ||
             failed(r, "not a run of zelkor (an address that is no text)");
    if (key == "total")
      return each_field(r, item, [&](std::string_view k, value i) {
        if (k == "ok")
          column->ok = count_of(i);
        else if (k == "count")
          column->count = count_of(i);
        else if (k == "rate")
          column->rate = number_of(i);
        else if (k == "median_ms")
          column->median_ms = number_of(i);
        else if (k == "p95_ms")
          column->p95_ms = number_of(i);
        else if (k == "cold_median_ms")
          column->cold_median_ms = number_of(i);
        else if (k == "warm_median_ms")
          column->warm_median_ms = number_of(i);
        return true;
      });
    if (key == "nx_probe")
      return each_field(r, item, [&](std::string_view k, value i) {
        if (k == "verdict")
          text_of(i, &column->nx);
        return true;
      });
    if (key == "providers")
      return each_item(r, item,
                       [&](value p) { return read_provider(r, p, column); });
    if (key == "names")
      return each_item(r, item,
                       [&](value n) { return read_name(r, n, column); });
    return true;
  });
}

// "1.2.0": whether this program reads that version's files (its major).
bool readable_version(const std::string &version) {
  return std::atoi(version.c_str()) == ZELKOR_VERSION_MAJOR &&
         !version.empty() && version[0] >= '0' && version[0] <= '9';
}

bool unreadable(reading *r, const std::string &version) {
  return failed(r, "written by zelkor " + version +
                       ", whose files this program does not read");
}

std::string stem_of(const std::string &path) {
  std::string stem = path.substr(path.find_last_of('/') + 1);
  const std::size_t dot = stem.rfind(".json");
  return dot != std::string::npos && dot > 0 ? stem.substr(0, dot) : stem;
}

} // namespace

int read_run(const char *path, run_set *set, std::string *why) {
  simdjson::padded_string text;
  simdjson::error_code error = simdjson::padded_string::load(path).get(text);
  if (error) {
    *why = error == simdjson::IO_ERROR ? "cannot be read"
                                       : simdjson::error_message(error);
    return -1;
  }
  if (text.size() == 0) {
    *why = "empty";
    return -1;
  }
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  reading r{set, std::string()};
  value top;
  if ((error = parser.iterate(text).get(document)) ||
      (error = document.get_value().get(top))) {
    json_failed(&r, error);
    *why = r.why;
    return -1;
  }
  // A file that fails ends the report or comparison: what it left in
  // the set is never used.
  run_info info{path, std::string(), std::string(), std::string(), false};
  std::string version;
  bool has_nameservers = false;
  const std::size_t first_column = set->columns.size();
  bool ok = each_field(&r, top, [&](std::string_view key, value item) {
    if (key == "version")
      return text_of(item, &version) ||
             failed(&r, "not a run of zelkor (a version that is no text)");
    if (!version.empty() && !readable_version(version))
      return unreadable(&r, version);
    if (key == "site")
      text_of(item, &info.site);
    else if (key == "started")
      text_of(item, &info.started);
    else if (key == "list")
      text_of(item, &info.list);
    else if (key == "complete")
      return !item.get_bool().get(info.complete) ||
             failed(&r, "not a run of zelkor (complete is no true or false)");
    else if (key == "nameservers") {
      has_nameservers = true;
      return each_item(&r, item, [&](value v) {
        set->columns.emplace_back();
        set->columns.back().run = set->runs.size();
        return read_nameserver(&r, v, &set->columns.back());
      });
    }
    return true;
  });
  if (ok && (version.empty() || !has_nameservers))
    ok = failed(&r, "not a run of zelkor (no version or no nameservers)");
  if (ok && !readable_version(version))
    ok = unreadable(&r, version);
  if (!ok) {
    *why = r.why;
    return -1;
  }
  if (info.site.empty())
    info.site = stem_of(path); // a run from before sites were named
  for (std::size_t c = first_column; c < set->columns.size(); ++c)
    set->columns[c].cells.resize(set->names.size());
  set->runs.push_back(info);
  return 0;
}

const run_cell &cell_at(const run_column &column, std::size_t name) {
  static const run_cell not_asked;
  return name < column.cells.size() ? column.cells[name] : not_asked;
}

double rate_of_provider(const run_column &column, const std::string &provider) {
  auto found = column.providers.find(provider);
  return found == column.providers.end() ? NO_FIGURE : found->second.rate;
}

std::string failure_words(const run_set &set, const run_cell &cell) {
  std::string text = set.words[cell.cause];
  if (cell.verdict != 0)
    text += ", " + set.words[cell.verdict];
  return text;
}
