// The run-time's own procedures: PRINT shows a data set as a table (so that
// results such as OUTSTAT= data sets can be looked at) and CONTENTS lists a
// data set's variables, types, lengths and labels.
#include <algorithm>

#include "host/bygroup.h"
#include "host/host_messages.h"
#include "host/output.h"
#include "host/services.h"
#include "host/varlist.h"
#include "lang/program.h"

namespace kav {

namespace {

[[noreturn]] void stop(StepContext& ctx, const Token& t, int number, std::vector<std::string> args) {
  ctx.xpmlog(kHostGroup, number, std::move(args), t.pos);
  xexit(1000);
}

// The DATA= option of a PROC statement (or the last data set made).
struct ProcStatement {
  DataSetName data;
  std::vector<std::string> flags;  // other bare keywords, upper case
};

ProcStatement parse_proc_statement(StepContext& ctx, const std::vector<const char*>& allowed) {
  const Statement& st = ctx.statements()[0];
  const auto& t = st.tokens;
  ProcStatement out;
  std::string proc = t.size() > 1 ? upper(t[1].value) : "?";
  for (std::size_t i = 2; i < t.size();) {
    if (t[i].is_word("DATA") && i + 1 < t.size() && t[i + 1].is_symbol("=")) {
      i += 2;
      SourcePos where;
      std::string err = parse_dataset_name(t, i, out.data, where);
      if (!err.empty()) {
        ctx.xpmlog(kHostGroup, msg::kSyntax, {"a data set name after DATA=", err}, where);
        xexit(1000);
      }
      continue;
    }
    bool ok = false;
    for (const char* a : allowed)
      if (t[i].is_word(a)) ok = true;
    if (!ok) stop(ctx, t[i], msg::kUnknownOption, {t[i].text, "PROC " + proc});
    out.flags.push_back(upper(t[i].value));
    ++i;
  }
  if (out.data.empty()) {
    out.data = ctx.last_dataset();
    if (out.data.empty()) stop(ctx, t[0], msg::kDataOptionRequired, {proc});
  }
  return out;
}

std::vector<int> variable_list(StepContext& ctx, const Statement& st, const DataSetHeader& h,
                               std::vector<bool>* descending = nullptr) {
  std::vector<int> out;
  bool next_desc = false;
  for (std::size_t i = 1; i < st.tokens.size(); ++i) {
    const Token& t = st.tokens[i];
    if (descending && t.is_word("DESCENDING")) {
      next_desc = true;
      continue;
    }
    if (!t.is_name() && t.kind != TokenKind::NameLiteral)
      stop(ctx, t, msg::kSyntax, {"a variable name", t.text});
    // Numbered ranges: x1-x5, or q08-q12 keeping the width of its numbers.
    if (i + 2 < st.tokens.size() && st.tokens[i + 1].is_symbol("-") && st.tokens[i + 2].is_name()) {
      const std::string& pa = t.value;
      const std::string& pb = st.tokens[i + 2].value;
      NumberedRange range;
      if (!numbered_range(pa, pb, range) || range.last < range.first)
        stop(ctx, t, msg::kSyntax, {"a numbered range such as x1-x5", pa + "-" + pb});
      for (long k = range.first; k <= range.last; ++k) {
        int idx = h.find(range.name(k));
        if (idx < 0) stop(ctx, t, msg::kVariableNotFound, {range.name(k), h.name});
        out.push_back(idx);
        if (descending) descending->push_back(false);
      }
      i += 2;
      continue;
    }
    int idx = h.find(t.value);
    if (idx < 0) stop(ctx, t, msg::kVariableNotFound, {t.value, h.name});
    out.push_back(idx);
    if (descending) descending->push_back(next_desc);
    next_desc = false;
  }
  return out;
}

Column column_for(const Variable& v, bool use_label) {
  Column c;
  c.name = v.name;
  c.kind = v.is_numeric() ? ColumnKind::Number : ColumnKind::Text;
  if (use_label && !v.label.empty()) c.header = v.label;
  if (v.is_numeric()) c.format = best_format(12);
  return c;
}

void proc_print(StepContext& ctx) {
  ProcStatement ps = parse_proc_statement(ctx, {"NOOBS", "LABEL"});
  bool noobs = std::find(ps.flags.begin(), ps.flags.end(), "NOOBS") != ps.flags.end();
  bool use_label = std::find(ps.flags.begin(), ps.flags.end(), "LABEL") != ps.flags.end();
  for (std::size_t s = 1; s < ctx.statements().size(); ++s) {
    const Statement& st = ctx.statements()[s];
    if (st.keyword() != "WHERE") continue;
    if (st.tokens.size() < 2) stop(ctx, st.tokens[0], msg::kSyntax, {"a condition after WHERE", "the end of the statement"});
    ps.data.where.emplace_back(st.tokens.begin() + 1, st.tokens.end());
  }
  auto reader = ctx.open_input(ps.data);
  const DataSetHeader& h = reader->header();
  std::vector<int> vars;
  std::vector<ByVariable> by;
  bool notsorted = false;
  for (std::size_t s = 1; s < ctx.statements().size(); ++s) {
    const Statement& st = ctx.statements()[s];
    std::string kw = st.keyword();
    if (kw == "WHERE") {
      continue;
    } else if (kw == "VAR") {
      vars = variable_list(ctx, st, h);
    } else if (kw == "BY") {
      Statement copy = st;
      auto& toks = copy.tokens;
      for (std::size_t i = 0; i < toks.size(); ++i)
        if (toks[i].is_word("NOTSORTED")) {
          notsorted = true;
          toks.erase(toks.begin() + static_cast<std::ptrdiff_t>(i));
          --i;
        }
      std::vector<bool> desc;
      auto idx = variable_list(ctx, copy, h, &desc);
      for (std::size_t k = 0; k < idx.size(); ++k)
        by.push_back({h.vars[static_cast<std::size_t>(idx[k])].name, desc[k]});
    } else {
      stop(ctx, st.tokens[0], msg::kUnknownStatement, {kw.empty() ? st.tokens[0].text : kw, " in PROC PRINT (it takes VAR, BY and WHERE)"});
    }
  }
  if (vars.empty())
    for (std::size_t k = 0; k < h.vars.size(); ++k) vars.push_back(static_cast<int>(k));
  // BY variables are shown in the BY line, not repeated in the table.
  vars.erase(std::remove_if(vars.begin(), vars.end(),
                            [&](int k) {
                              for (const auto& b : by)
                                if (same_name(b.name, h.vars[static_cast<std::size_t>(k)].name)) return true;
                              return false;
                            }),
             vars.end());
  if (vars.empty()) stop(ctx, ctx.statements()[0].tokens[0], msg::kNoVariables, {h.name});

  OutputDelivery* out = ctx.output();
  if (out) out->set_procedure_label("The PRINT Procedure");
  ByGroups groups(*reader, by, notsorted);
  Observation obs;
  std::int64_t obs_number = 0;
  while (groups.xbynext() > 0) {
    Table t;
    t.name = "Print";
    t.label = "Data Set " + h.name;
    t.template_path = "Base.Print.Print";
    if (!noobs) {
      Column c;
      c.name = "Obs";
      c.kind = ColumnKind::Integer;
      c.format = integer_format(8);
      t.columns.push_back(c);
    }
    for (int k : vars) t.columns.push_back(column_for(h.vars[static_cast<std::size_t>(k)], use_label));
    while (groups.next(obs)) {
      ++obs_number;
      Row row;
      if (!noobs) row.emplace_back(static_cast<double>(obs_number));
      for (int k : vars) {
        const auto& v = h.vars[static_cast<std::size_t>(k)];
        if (v.is_numeric()) row.emplace_back(obs.num[static_cast<std::size_t>(k)]);
        else row.emplace_back(obs.str[static_cast<std::size_t>(k)]);
      }
      t.rows.push_back(std::move(row));
    }
    if (out) {
      if (groups.has_by()) {
        std::vector<ByValue> values;
        auto texts = groups.key_text();
        for (std::size_t k = 0; k < by.size(); ++k) {
          ByValue bv;
          bv.variable = by[k].name;
          bv.value = texts[k];
          bv.text = texts[k];
          values.push_back(bv);
        }
        out->set_by_values(values);
      }
      out->add_table(std::move(t));
    }
  }
  ctx.log_data_notes(*reader);
}

void proc_contents(StepContext& ctx) {
  ProcStatement ps = parse_proc_statement(ctx, {});
  if (ctx.statements().size() > 1)
    stop(ctx, ctx.statements()[1].tokens[0], msg::kUnknownStatement, {ctx.statements()[1].keyword(), " in PROC CONTENTS"});
  auto reader = ctx.open_input(ps.data);
  const DataSetHeader& h = reader->header();
  std::int64_t nobs = reader->count_hint();
  if (nobs < 0) {
    Observation obs;
    nobs = 0;
    while (reader->next(obs)) ++nobs;
  }
  OutputDelivery* out = ctx.output();
  if (!out) return;
  out->set_procedure_label("The CONTENTS Procedure");
  Table a;
  a.name = "Attributes";
  a.label = "Attributes";
  a.template_path = "Base.Contents.Attributes";
  a.add_column("Label1", ColumnKind::Text, std::string(""));
  a.add_column("cValue1", ColumnKind::Text, std::string(""));
  auto text = [](const std::string& s) { return Cell(s); };
  a.add_row({text("Data Set Name"), text(h.name)});
  a.add_row({text("Data Set Type"), text(h.type.empty() ? "DATA" : h.type)});
  a.add_row({text("Label"), text(h.label)});
  std::string file = ctx.session().libraries.file_of(ps.data);
  a.add_row({text("File"), text(file.empty() ? "(memory)" : file)});
  a.add_row({text("Observations"), text(std::to_string(nobs))});
  a.add_row({text("Variables"), text(std::to_string(h.vars.size()))});
  out->add_table(std::move(a));

  Table v;
  v.name = "Variables";
  v.label = "Variables";
  v.template_path = "Base.Contents.Variables";
  v.add_column("Num", ColumnKind::Integer, std::string("#"), integer_format(4));
  v.add_column("Variable", ColumnKind::Text);
  v.add_column("Type", ColumnKind::Text);
  v.add_column("Len", ColumnKind::Integer, std::string("Len"), integer_format(6));
  v.add_column("Label", ColumnKind::Text);
  for (std::size_t k = 0; k < h.vars.size(); ++k) {
    const auto& var = h.vars[k];
    v.add_row({Cell(static_cast<double>(k + 1)), Cell(var.name), Cell(std::string(var.is_numeric() ? "Num" : "Char")),
               Cell(static_cast<double>(var.length)), Cell(var.label)});
  }
  out->add_table(std::move(v));
}

}  // namespace

void register_builtin_procedures(ProcedureRegistry& registry) {
  registry.add({"PRINT", proc_print, nullptr});
  registry.add({"CONTENTS", proc_contents, nullptr});
}

}  // namespace kav
