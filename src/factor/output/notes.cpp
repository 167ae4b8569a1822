#include "factor/output/notes.h"

#include <cstdio>

#include "factor/output/factods.h"
#include "factor/state/factmsg.h"
#include "factor/state/status.h"
#include "host/output.h"
#include "host/services.h"
#include "numeric/eigen.h"

namespace kav {

void factonote(COMSTR* com, int number, const std::vector<std::string>& args) {
  if (!com->ods || !com->ods->delivery) return;
  com->ods->delivery->add_note(Note{"", {format_message(kFactorGroup, number, args)}});
}

void facteigm(COMSTR* com, int code) {
  EigenMessageSink sink;
  sink.log = [com](int group, int number) {
    com->host->xpmlog(group, number);
    return number;
  };
  if (com->ods && com->ods->delivery) {
    sink.note = [com](const char* name, int group, int number) {
      com->ods->delivery->add_note(Note{name, {format_message(group, number, {})}});
    };
  }
  sink.exit = [com](int exit_code) {
    factrc(com, exit_code);
    xexit(exit_code, 0);
  };
  zeigmsg(code, sink);
}

std::string factfmt(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", value);
  return buf;
}

}  // namespace kav
