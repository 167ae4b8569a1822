#include "lang/program.h"

#include "host/expression.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "host/host_messages.h"
#include "host/output.h"
#include "host/services.h"
#include "lang/ods.h"
#include "lang/reader.h"

namespace kav {

namespace {

// The line number of TITLEn or FOOTNOTEn (`base` then digits): 1 for the
// bare keyword, 0 when the number is outside 1 to 10 (however many digits it
// has, so that the statement can be refused by name), -1 when `kw` is
// another word.
int title_number(const std::string& kw, const std::string& base) {
  if (kw.compare(0, base.size(), base) != 0) return -1;
  if (kw.size() == base.size()) return 1;
  const std::string digits = kw.substr(base.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size());
  const std::string n = digits.substr(first);
  return n.size() <= 2 && !n.empty() && std::atoi(n.c_str()) <= 10 ? std::atoi(n.c_str()) : 0;
}

// Statements that act at once wherever they stand, inside a step or not.
bool is_global_keyword(const std::string& kw) {
  if (kw == "LIBNAME" || kw == "OPTIONS" || kw == "OPTION" || kw == "ODS" || kw == "TITLE" ||
      kw == "FOOTNOTE")
    return true;
  return title_number(kw, "TITLE") >= 0 || title_number(kw, "FOOTNOTE") >= 0;
}

}  // namespace

Interpreter::Interpreter(Session& session) : session_(session) {}

void Interpreter::error_at(const Token& t, int number, std::vector<std::string> args) {
  session_.log.message(kHostGroup, number, std::move(args), t.pos);
}

void Interpreter::run(const std::string& text, const std::string& file) {
  ProgramReader reader(text, file, session_.macros, session_.log);
  const std::size_t first_entry = session_.log.mark();
  Statement st;
  while (reader.next(st)) {
    if (st.tokens.empty()) continue;  // an empty statement: ;
    // %LET and %PUT act as they are read.
    if (st.tokens[0].is_symbol("%")) {
      if (st.bad) {
        session_.statement_errors = true;
        continue;
      }
      macro_statement(st);
      continue;
    }
    std::string kw = st.keyword();
    // "data=x run;" and the like: RUN swallowed by the statement before it.
    if (st.tokens.size() > 1 && kw != "TITLE" && kw.rfind("TITLE", 0) != 0 &&
        kw.rfind("FOOTNOTE", 0) != 0 && !st.bad) {
      const Token& last = st.tokens.back();
      if (last.is_word("RUN") || last.is_word("QUIT")) {
        error_at(last, msg::kMissingSemicolonBeforeRun, {upper(last.value)});
        st.bad = true;
      }
    }
    if (kw == "DATA" || kw == "PROC") {
      finish_step();
      step_ = PendingStep{};
      step_.active = true;
      step_.is_data = kw == "DATA";
      step_.pos = st.pos;
      if (kw == "PROC") {
        if (st.tokens.size() < 2 || !st.tokens[1].is_name()) {
          error_at(st.tokens[0], msg::kSyntax, {"a procedure name after PROC", st.tokens.size() < 2 ? "the end of the statement" : st.tokens[1].text});
          step_.bad = true;
          step_.name = "?";
        } else {
          step_.name = upper(st.tokens[1].value);
        }
      } else {
        step_.name = "DATA";
      }
      if (st.bad) step_.bad = true;
      step_.statements.push_back(std::move(st));
      continue;
    }
    if (kw == "RUN" || kw == "QUIT") {
      finish_step();
      continue;
    }
    if (is_global_keyword(kw)) {
      if (st.bad) {
        if (step_.active) step_.bad = true;
        else session_.statement_errors = true;
        continue;
      }
      if (!global_statement(st)) {
        // A global statement in error inside a step spoils the step too, so
        // that it does not run with settings the user did not get.
        if (step_.active) step_.bad = true;
        else session_.statement_errors = true;
      }
      continue;
    }
    if (!step_.active) {
      if (!st.bad) {
        if (kw.empty()) error_at(st.tokens[0], msg::kSyntax, {"a statement", st.tokens[0].text});
        else error_at(st.tokens[0], msg::kUnknownStatement, {kw, " outside a step"});
      }
      session_.statement_errors = true;
      continue;
    }
    if (st.bad) step_.bad = true;
    bool datalines = !st.lines.empty() || kw == "DATALINES" || kw == "CARDS" || kw == "LINES";
    step_.statements.push_back(std::move(st));
    // The data lines are the end of a DATA step: it runs at once.
    if (datalines) finish_step();
  }
  finish_step();
  // An error met while reading (an unclosed comment at the end, say) may
  // belong to no statement; the run still counts as in error.
  if (reader.errors() > 0) session_.statement_errors = true;
  if (session_.output) {
    // Messages that belong to no step (global statements in error, notes
    // of LIBNAME) go to the results as the run's own log.
    std::vector<LogEntry> top;
    const auto& all = session_.log.entries();
    std::size_t s = 0;
    for (std::size_t k = first_entry; k < all.size(); ++k) {
      while (s < session_.steps.size() && session_.steps[s].log_end <= k) ++s;
      bool in_step = s < session_.steps.size() && session_.steps[s].log_begin <= k;
      if (!in_step) top.push_back(all[k]);
    }
    if (!top.empty()) session_.output->top_level_log(top);
  }
}

void Interpreter::finish_step() {
  if (!step_.active) return;
  PendingStep step = std::move(step_);
  step_ = PendingStep{};
  run_step(step);
}

void Interpreter::run_step(PendingStep& step) {
  StepResult result;
  result.procedure = step.name;
  result.pos = step.pos;
  result.log_begin = session_.log.mark();
  OutputDelivery* out = session_.output;
  if (out) {
    out->set_titles(session_.titles);
    out->set_footnotes(session_.footnotes);
    out->set_line_size(session_.options.linesize);
    out->begin_step(step.name, step.pos.line);
  }
  auto finish = [&] {
    result.log_end = session_.log.mark();
    if (out) {
      out->close_all_groups();
      out->clear_by_values();
      out->end_step(result.in_error ? std::max(result.exit_code, 1000) : result.exit_code,
                    result.reason, session_.log.since(result.log_begin));
    }
    session_.steps.push_back(result);
  };
  const ProcedureModule* module = nullptr;
  if (!step.bad && !step.is_data) {
    module = session_.procedures.find(step.name);
    if (!module) {
      std::string known;
      for (const auto& n : session_.procedures.names()) known += (known.empty() ? "" : ", ") + n;
      session_.log.message(kHostGroup, msg::kUnknownProcedure, {step.name, known},
                           step.statements[0].tokens.size() > 1 ? step.statements[0].tokens[1].pos
                                                                : step.pos);
      step.bad = true;
    }
  }
  if (step.bad) {
    session_.log.message(kHostGroup, msg::kStepSkipped, {step.name}, step.pos);
    result.in_error = true;
    finish();
    return;
  }
  session_.libraries.begin_step();
  const DataSetName last_before = session_.last_dataset;
  StepContext ctx(session_, std::move(step.statements));
  auto started = std::chrono::steady_clock::now();
  try {
    try {
      if (step.is_data) run_data_step(ctx);
      else module->run(ctx);
    } catch (const StepExit& e) {
      result.exit_code = e.code;
      result.reason = e.reason;
    } catch (const LibraryError& e) {
      session_.log.message(kHostGroup, e.number, e.args, step.pos);
      result.exit_code = 1000;
    } catch (const DataError& e) {
      session_.log.message(kHostGroup, msg::kDataError, {e.what()}, step.pos);
      result.exit_code = 1000;
    } catch (const ExpressionError& e) {
      session_.log.message(kHostGroup, e.number, e.args, e.pos.known() ? e.pos : step.pos);
      result.exit_code = 1000;
    } catch (const std::bad_alloc&) {
      session_.log.message(kHostGroup, msg::kMemoryRefused, {"some"}, step.pos);
      result.exit_code = 1016;
    }
    // The exit routine runs however the step ended.
    ctx.run_exit_routine();
  } catch (const StepExit& e) {
    // An exit from inside the exit routine: keep the first outcome.
    if (result.exit_code == 0) result.exit_code = e.code;
  } catch (const std::exception& e) {
    session_.log.message(kHostGroup, msg::kDataError, {e.what()}, step.pos);
    result.exit_code = 1000;
  }
  // The step's tables in database libraries go in now, with its ODS OUTPUT
  // data sets, or not at all; the notes that they were written come after.
  if (out) out->write_step_datasets();
  bool commit_failed = false;
  for (const DbMessage& m : session_.libraries.end_step(result.exit_code < 1000, commit_failed))
    session_.log.message(kHostGroup, m.number, m.args);
  if (commit_failed) {
    // What the step made was not put in place: _LAST_ names what it did.
    session_.last_dataset = last_before;
    if (result.exit_code < 1000) result.exit_code = 1000;
  }
  if (result.exit_code >= 1000) {
    session_.log.message(kHostGroup, msg::kStepStopped, {step.name, std::to_string(result.exit_code)}, step.pos);
  } else if (result.exit_code > 0) {
    session_.log.message(kHostGroup, msg::kStepEnded, {step.name, std::to_string(result.exit_code)}, step.pos);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", secs);
  session_.log.message(kHostGroup, msg::kStepTime, {step.name == "DATA" ? "DATA" : "PROC " + step.name, buf});
  finish();
}

void Interpreter::macro_statement(const Statement& st) {
  const auto& t = st.tokens;
  if (t.size() < 2 || !t[1].is_name() || t[1].space_before) {
    error_at(t[0], msg::kSyntax, {"%LET or %PUT", t.size() < 2 ? "%" : "%" + t[1].text});
    session_.statement_errors = true;
    return;
  }
  std::string kw = upper(t[1].value);
  // The text of the statement after the keyword, as written (after
  // substitution), keeps its spacing.
  std::size_t p = st.text.find_first_of(" \t\r\n", st.text.find('%') + 1);
  std::string rest = p == std::string::npos ? "" : st.text.substr(p);
  auto trim = [](std::string s) {
    std::size_t a = s.find_first_not_of(" \t\r\n");
    std::size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
  };
  if (kw == "PUT") {
    session_.log.plain(trim(rest));
    return;
  }
  if (kw == "LET") {
    if (t.size() < 4 || !t[2].is_name() || !t[3].is_symbol("=")) {
      error_at(t.size() > 2 ? t[2] : t[1], msg::kSyntax, {"%LET name = value", st.text});
      session_.statement_errors = true;
      return;
    }
    std::size_t eq = rest.find('=');
    if (const std::size_t length = trim(rest.substr(eq + 1)).size(); length > kMaxMacroValue) {
      error_at(t[2], msg::kMacroValueTooLong,
               {upper(t[2].value), std::to_string(length), std::to_string(kMaxMacroValue)});
      session_.statement_errors = true;
      return;
    }
    session_.macros.set(t[2].value, trim(rest.substr(eq + 1)));
    return;
  }
  error_at(t[1], msg::kUnknownStatement, {"%" + kw, ""});
  session_.statement_errors = true;
}

bool Interpreter::global_statement(const Statement& st) {
  std::string kw = st.keyword();
  if (kw == "LIBNAME") {
    libname(st);
  } else if (kw == "OPTIONS" || kw == "OPTION") {
    options(st);
  } else if (kw.rfind("TITLE", 0) == 0) {
    title(st, false);
  } else if (kw.rfind("FOOTNOTE", 0) == 0) {
    title(st, true);
  } else if (kw == "ODS") {
    return run_ods_statement(session_, st);
  }
  return !st.bad;
}

void Interpreter::libname(const Statement& st) {
  const auto& t = st.tokens;
  if (t.size() < 2 || !t[1].is_name()) {
    error_at(t.size() > 1 ? t[1] : t[0], msg::kSyntax, {"a libref after LIBNAME", t.size() > 1 ? t[1].text : "the end of the statement"});
    session_.statement_errors = true;
    return;
  }
  std::string ref = upper(t[1].value);
  if (t.size() == 3 && t[2].is_word("CLEAR")) {
    if (session_.libraries.clear(ref))
      session_.log.message(kHostGroup, msg::kLibrefCleared, {ref}, st.pos);
    else
      error_at(t[1], msg::kLibrefUnassigned, {ref});
    return;
  }
  if (t.size() == 4 && t[2].is_name() && t[3].kind == TokenKind::String) {
    // A database library: LIBNAME ref SQLITE 'file.db'; or POSTGRES 'conninfo';
    try {
      std::string where = session_.libraries.assign_database(ref, t[2].value, t[3].value);
      session_.log.message(kHostGroup, msg::kDatabaseAssigned, {ref, where}, st.pos);
    } catch (const LibraryError& e) {
      session_.log.message(kHostGroup, e.number, e.args, t[2].pos);
      session_.statement_errors = true;
    }
    return;
  }
  if (t.size() != 3 || t[2].kind != TokenKind::String) {
    error_at(t.size() > 2 ? t[2] : t[1], msg::kSyntax, {"a quoted folder name, as in LIBNAME " + ref + " 'folder';", t.size() > 2 ? t[2].text : "the end of the statement"});
    session_.statement_errors = true;
    return;
  }
  try {
    std::string note = session_.libraries.assign(ref, t[2].value);
    session_.log.message(kHostGroup, msg::kLibrefAssigned, {ref, t[2].value + (note.empty() ? "" : " (" + note + ")")}, st.pos);
  } catch (const LibraryError& e) {
    session_.log.message(kHostGroup, e.number, e.args, t[1].pos);
    session_.statement_errors = true;
  }
}

void Interpreter::options(const Statement& st) {
  const auto& t = st.tokens;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (!t[i].is_name()) {
      error_at(t[i], msg::kSyntax, {"a system option name", t[i].text});
      session_.statement_errors = true;
      return;
    }
    std::string name = t[i].value;
    std::string value;
    if (i + 1 < t.size() && t[i + 1].is_symbol("=")) {
      if (i + 2 >= t.size()) {
        error_at(t[i + 1], msg::kSyntax, {"a value after " + upper(name) + "=", "the end of the statement"});
        session_.statement_errors = true;
        return;
      }
      const Token& v = t[i + 2];
      value = v.kind == TokenKind::Number ? v.value : v.value;
      i += 2;
    }
    bool unknown = false;
    std::string why = session_.options.set(name, value, unknown);
    if (unknown) {
      error_at(t[i - (value.empty() ? 0 : 2)], msg::kUnknownSystemOption, {upper(name)});
      session_.statement_errors = true;
    } else if (!why.empty()) {
      error_at(t[i], msg::kSystemOptionValue, {upper(name), value, why});
      session_.statement_errors = true;
    }
  }
}

void Interpreter::title(const Statement& st, bool footnote) {
  std::string kw = st.keyword();
  std::string base = footnote ? "FOOTNOTE" : "TITLE";
  int n = title_number(kw, base);
  if (n < 1) {
    error_at(st.tokens[0], msg::kTitleNumber, {st.tokens[0].text, base});
    session_.statement_errors = true;
    return;
  }
  std::string text;
  for (std::size_t i = 1; i < st.tokens.size(); ++i) {
    const Token& t = st.tokens[i];
    if (t.kind != TokenKind::String) {
      error_at(t, msg::kSyntax, {"quoted text", t.text});
      session_.statement_errors = true;
      return;
    }
    if (!text.empty()) text += ' ';
    text += t.value;
  }
  auto& lines = footnote ? session_.footnotes : session_.titles;
  // Setting line n clears the lines below it.
  for (int k = n; k <= 10; ++k) lines[static_cast<std::size_t>(k - 1)].clear();
  lines[static_cast<std::size_t>(n - 1)] = text;
}

}  // namespace kav
