// ODS statements: which destinations are open, what they show, and which
// tables become data sets.
#include "host/host_messages.h"
#include "host/output.h"
#include "lang/ods.h"

namespace kav {

namespace {

bool error(Session& s, const Token& at, const std::string& text) {
  s.log.message(kHostGroup, msg::kOdsError, {text}, at.pos);
  return false;
}

std::string dataset_text(const std::vector<Token>& t, std::size_t& i) {
  // lib.member or member or 'path', with its options
  std::string s = t[i].kind == TokenKind::String ? "'" + t[i].value + "'" : t[i].value;
  ++i;
  if (i + 1 < t.size() && t[i].is_symbol(".") && (t[i + 1].is_name() || t[i + 1].kind == TokenKind::NameLiteral)) {
    s += "." + t[i + 1].value;
    i += 2;
  }
  // Data set options, passed on as written: the writer parses them.
  if (i < t.size() && t[i].is_symbol("(")) {
    int depth = 0;
    do {
      if (t[i].is_symbol("(")) ++depth;
      if (t[i].is_symbol(")")) --depth;
      s += " " + t[i].text;
      ++i;
    } while (i < t.size() && depth > 0);
  }
  return s;
}

}  // namespace

bool run_ods_statement(Session& session, const Statement& st) {
  const auto& t = st.tokens;
  OutputDelivery* out = session.output;
  if (t.size() < 2 || !t[1].is_name())
    return error(session, t.size() > 1 ? t[1] : t[0], "ODS needs a destination or an action: HTML, JSON, LISTING, OUTPUT, TRACE, SELECT, EXCLUDE or GRAPHICS.");
  if (!out) return true;  // a run without output delivery ignores ODS
  std::string what = upper(t[1].value);
  auto on_off = [&](const char* name, auto apply) {
    if (t.size() != 3 || !(t[2].is_word("ON") || t[2].is_word("OFF")))
      return error(session, t.size() > 2 ? t[2] : t[1], std::string("ODS ") + name + " takes ON or OFF.");
    apply(t[2].is_word("ON"));
    return true;
  };
  if (what == "HTML" || what == "JSON") {
    std::string kind = what == "HTML" ? "html" : "json";
    if (t.size() == 3 && t[2].is_word("CLOSE")) {
      std::string err = out->close_destination(kind);
      if (!err.empty()) return error(session, t[2], "ODS " + what + " CLOSE: " + err);
      return true;
    }
    if (t.size() == 5 && (t[2].is_word("FILE") || t[2].is_word("BODY")) && t[3].is_symbol("=") &&
        t[4].kind == TokenKind::String) {
      std::string err = out->open_destination(kind, t[4].value, "ODS " + what + " FILE=");
      if (!err.empty()) return error(session, t[4], "ODS " + what + " could not open " + t[4].value + ": " + err);
      return true;
    }
    return error(session, t.size() > 2 ? t[2] : t[1], "write ODS " + what + " FILE='name'; to open it and ODS " + what + " CLOSE; to close it.");
  }
  if (what == "LISTING") {
    if (t.size() == 2) {
      out->set_listing(true);
      return true;
    }
    if (t.size() == 3 && t[2].is_word("CLOSE")) {
      out->set_listing(false);
      return true;
    }
    return error(session, t[2], "ODS LISTING takes nothing, or CLOSE.");
  }
  if (what == "TRACE") return on_off("TRACE", [&](bool on) { out->set_trace(on); });
  if (what == "GRAPHICS") return on_off("GRAPHICS", [&](bool on) { out->set_graphics(on); });
  if (what == "SELECT" || what == "EXCLUDE") {
    if (t.size() < 3) return error(session, t[1], "ODS " + what + " needs object names, ALL or NONE.");
    if (t.size() == 3 && (t[2].is_word("ALL") || t[2].is_word("NONE"))) {
      bool all = t[2].is_word("ALL");
      if ((what == "SELECT") == all) out->select_all();
      else out->select_none();
      return true;
    }
    std::vector<std::string> names;
    for (std::size_t i = 2; i < t.size(); ++i) {
      // Paths such as Factor.Eigenvalues come as name . name tokens.
      if (t[i].is_symbol(".") && !names.empty() && i + 1 < t.size()) {
        names.back() += "." + t[i + 1].value;
        ++i;
        continue;
      }
      if (!t[i].is_name() && t[i].kind != TokenKind::String)
        return error(session, t[i], "ODS " + what + " takes names of output objects, not " + t[i].text + ".");
      names.push_back(t[i].value);
    }
    if (what == "SELECT") out->select(names);
    else out->exclude(names);
    return true;
  }
  if (what == "OUTPUT") {
    if (t.size() == 3 && (t[2].is_word("CLOSE") || t[2].is_word("CLEAR"))) {
      out->clear_output_requests();
      return true;
    }
    if (t.size() < 3) return error(session, t[1], "ODS OUTPUT needs TableName=dataset.");
    for (std::size_t i = 2; i < t.size();) {
      if (!t[i].is_name() || i + 2 >= t.size() + 0 || !t[i + 1].is_symbol("="))
        return error(session, t[i], "ODS OUTPUT takes TableName=dataset pairs; found " + t[i].text + ".");
      std::string table = t[i].value;
      i += 2;
      if (i >= t.size() || !(t[i].is_name() || t[i].kind == TokenKind::String || t[i].kind == TokenKind::NameLiteral))
        return error(session, t[i - 1], "a data set name is missing after " + table + "=.");
      std::string ds = dataset_text(t, i);
      out->request_output(table, ds);
    }
    return true;
  }
  return error(session, t[1], "ODS " + what + " is not known; use HTML, JSON, LISTING, OUTPUT, TRACE, SELECT, EXCLUDE or GRAPHICS.");
}

}  // namespace kav
