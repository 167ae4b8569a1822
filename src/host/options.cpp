#include "host/options.h"

#include <charconv>
#include <thread>

#include "host/dataset.h"

namespace kav {

namespace {
bool to_int(const std::string& s, int& out) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}
}  // namespace

int SystemOptions::actual_cpus() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

SystemOptions::SystemOptions() : cpucount(actual_cpus()) {}

std::optional<double> SystemOptions::number(const std::string& name) const {
  std::string n = upper(name);
  if (n == "THREADS") return threads ? 1.0 : 0.0;
  if (n == "PUSHDOWN") return pushdown ? 1.0 : 0.0;
  if (n == "CPUCOUNT") return cpucount;
  if (n == "LINESIZE" || n == "LS") return linesize;
  if (n == "PAGESIZE" || n == "PS") return pagesize;
  return std::nullopt;
}

std::optional<std::string> SystemOptions::text(const std::string& name) const {
  std::string n = upper(name);
  if (n == "VALIDVARNAME") return std::string(validvarname_text(validvarname));
  if (n == "THREADS") return std::string(threads ? "THREADS" : "NOTHREADS");
  if (auto v = number(n)) return std::to_string(static_cast<long long>(*v));
  return std::nullopt;
}

bool SystemOptions::debug_on(const std::string& name) const {
  std::string n;
  for (char c : name) n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!n.empty() && n[0] == '-') n.erase(0, 1);
  return debug.count(n) > 0;
}

std::string SystemOptions::set(const std::string& name, const std::string& value, bool& unknown) {
  unknown = false;
  std::string n = upper(name);
  std::string v = upper(value);
  if (n == "THREADS" || n == "NOTHREADS") {
    if (!value.empty()) return "THREADS and NOTHREADS take no value";
    threads = n == "THREADS";
    return "";
  }
  if (n == "PUSHDOWN" || n == "NOPUSHDOWN") {
    if (!value.empty()) return "PUSHDOWN and NOPUSHDOWN take no value";
    pushdown = n == "PUSHDOWN";
    return "";
  }
  if (n == "CPUCOUNT") {
    int k = 0;
    if (v == "ACTUAL") {
      cpucount = actual_cpus();
      return "";
    }
    if (!to_int(v, k) || k < 1 || k > 1024) return "give a whole number from 1 to 1024, or ACTUAL";
    cpucount = k;
    return "";
  }
  if (n == "LINESIZE" || n == "LS") {
    int k = 0;
    if (!to_int(v, k) || k < 64 || k > 256) return "give a whole number from 64 to 256";
    linesize = k;
    return "";
  }
  if (n == "PAGESIZE" || n == "PS") {
    int k = 0;
    if (!to_int(v, k) || k < 15 || k > 32767) return "give a whole number from 15 to 32767";
    pagesize = k;
    return "";
  }
  if (n == "VALIDVARNAME") {
    if (v != "V6" && v != "V7" && v != "ANY" && v != "UPCASE") return "give V6, V7 or ANY";
    validvarname = parse_validvarname(v == "UPCASE" ? "V7" : v);
    return "";
  }
  if (n == "DEBUG" || n == "NODEBUG") {
    // OPTIONS DEBUG=name turns on a named debug switch, NODEBUG=name off.
    std::string d;
    for (char c : value) d += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!d.empty() && d[0] == '-') d.erase(0, 1);
    if (d.empty()) return "name the debug switch, e.g. DEBUG=zacorr";
    if (n == "DEBUG") debug.insert(d);
    else debug.erase(d);
    return "";
  }
  unknown = true;
  return "not a system option";
}

}  // namespace kav
