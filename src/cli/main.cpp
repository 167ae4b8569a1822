// The kav command: runs programs, or a one-step FACTOR analysis, with the
// listing on stdout and the log on stderr unless told otherwise.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/help.h"
#include "cli/run.h"
#include "host/file_claims.h"
#include "host/library.h"
#include "host/log.h"
#include "host/names.h"
#include "host/session.h"
#include "lang/reader.h"
#include "lang/program.h"

#ifndef KAV_VERSION
#define KAV_VERSION "0.0.0"
#endif

namespace {

constexpr int kUsageError = 64;

const char* const kHelp = R"(NAME
    kav - factor analysis and principal components from the PROC FACTOR language

SYNOPSIS
    kav run PROGRAM [OPTIONS]
    kav factor DATA [FACTOR-OPTION...] [OPTIONS]
    kav help [TOPIC]        statements, data step, data sets, output, factor
    kav --help
    kav --version

DESCRIPTION
    kav runs programs written in a statement language of global statements
    (LIBNAME, OPTIONS, TITLE, FOOTNOTE, ODS, %LET, %PUT), DATA steps that
    enter data, and procedure steps: FACTOR (exploratory factor analysis and
    principal component analysis), PRINT and CONTENTS.

    The listing (the printed report) goes to standard output and the log
    (notes, warnings and errors, each with file, line and column) to
    standard error.  A step with errors is skipped and the run goes on with
    the next step, as a batch run does.

COMMANDS
    run PROGRAM
        Runs the program file PROGRAM ("-" reads the program from standard
        input).

    factor DATA [FACTOR-OPTION...]
        Runs one FACTOR step on the data set DATA (a CSV file, or a data set
        name such as lib.name when --work or a LIBNAME is not needed) with the
        given options of the PROC FACTOR statement, written as in a program:
        method=ml nfactors=3 rotate=promax.  Secondary statements are given
        with --var, --partial, --by, --freq, --weight and --priors.  DATA may
        end with data set options in parentheses, as in
        'survey.csv(where=(age > 20) keep=q1-q10)'; a DATA that is neither a
        data set name nor a file path with options is taken as the path of
        a file.  A file of correlations or covariances is marked with
        --type CORR (or COV ...), or corr.csv(type=corr); see kav help data
        sets.

OPTIONS
    --work DIR          Keep the WORK library in DIR (made if needed) instead
                        of a temporary folder that is removed at the end.
    --listing FILE      Write the listing to FILE instead of standard output.
    --html FILE         Also write the output as one self-contained HTML file.
    --json FILE         Also write every output object and the log as JSON.
    --log FILE          Write the log to FILE instead of standard error.
                        The files of --listing, --html, --json and --log must
                        differ from each other and from the program or data
                        file; a clash is a usage error.  An ODS HTML or
                        ODS JSON FILE= in the program that names one of
                        them, or the file of another ODS destination of
                        the run, is an error of that statement.
    --graphics-dir DIR  Also write every graph as an SVG file in DIR.
    --debug NAME        Turn on the named debug switch (as OPTIONS DEBUG=NAME).
    --var LIST, --partial LIST, --by LIST, --freq VAR, --weight VAR,
    --priors VALUES     (kav factor only) the VAR, PARTIAL, BY, FREQ, WEIGHT
                        and PRIORS statements of the step.
    --type TYPE         (kav factor only) the data set's type, such as CORR
                        or COV for a file of correlations or covariances.
    -h, --help          Show this page.
    --version           Show the version.

EXIT STATUS
    0   every step ended normally and no statement was in error
    1   a step ended with a status from 1 to 999 (a warning condition, such
        as a singular matrix or a Heywood case)
    2   a step was stopped, a statement was in error, or the program could
        not be read
    64  the command line was not valid

EXAMPLES
    Run a program, listing on the terminal, log in a file:
        kav run analysis.kav --log analysis.log

    Run a program and keep an HTML report and JSON results:
        kav run analysis.kav --html report.html --json results.json

    Three maximum-likelihood factors with a promax rotation on a CSV file:
        kav factor scores.csv method=ml nfactors=3 rotate=promax --var 'g1-g6'

    Keep the data sets that a program makes in WORK:
        kav run entry.kav --work ./work

    A program:
        options linesize=120;
        libname out 'results';
        data scores;
          input id g1-g6;
          datalines;
        1 12 14 9 21 17 8
        2 10 11 8 18 15 9
        ;
        proc factor data=scores method=principal priors=smc nfactors=2
                    rotate=varimax outstat=out.fa2;
          var g1-g6;
        run;
)";

struct CommandLine {
  std::string command;  // "run" or "factor"
  std::string program;  // run: the program file; factor: the data set
  std::vector<std::string> factor_options;
  std::string type;  // factor: --type, the data set's type
  std::vector<std::pair<std::string, std::string>> statements;  // factor: VAR, BY, ...
  kav::RunOptions run;
};

int usage(const std::string& problem) {
  std::cerr << "kav: " << problem << "\nTry 'kav --help' for more information.\n";
  return kUsageError;
}

std::string quote_program_string(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "''";
    else q += c;
  }
  return q + "'";
}

// The data set argument of `kav factor` as program text.  A data set name
// ([lib.]member) or a file path, either followed by data set options in
// parentheses (corr.csv(type=corr)), is read as such and must parse whole,
// so that no argument can carry statements of its own; anything else is a
// file path, and is quoted.
std::string dataset_argument(const std::string& d) {
  std::string base = d, options;
  if (!d.empty() && d.back() == ')' && d.find('(') != std::string::npos) {
    base = d.substr(0, d.find('('));
    options = d.substr(d.find('('));
  }
  const bool path = base.find('/') != std::string::npos ||
                    (base.size() > 4 && base.compare(base.size() - 4, 4, ".csv") == 0);
  const std::string text = (path ? quote_program_string(base) : base) + options;
  kav::Log quiet;
  const auto tokens = kav::tokenize_text(text, quiet);
  kav::DataSetName name;
  std::size_t i = 0;
  kav::SourcePos where;
  if (d.find(';') != std::string::npos || quiet.errors_since(0) > 0 ||
      !kav::parse_dataset_name(tokens, i, name, where).empty() || i != tokens.size())
    return quote_program_string(d);
  return text;
}

// A usage problem when an output file would overwrite the input or another
// output of the same run; "" when every output has a file of its own.
std::string clashing_outputs(const CommandLine& cl) {
  kav::FileClaims claims;
  if (cl.command == "run" && cl.program != "-") claims.claim("the program file", cl.program, true);
  if (cl.command == "factor" && dataset_argument(cl.program).front() == '\'') {
    const std::string& d = cl.program;
    const bool options = !d.empty() && d.back() == ')' && d.find('(') != std::string::npos;
    claims.claim("the data file", options ? d.substr(0, d.find('(')) : d, true);
  }
  const std::pair<const char*, const std::string*> flags[] = {{"--listing", &cl.run.listing},
                                                              {"--html", &cl.run.html},
                                                              {"--json", &cl.run.json},
                                                              {"--log", &cl.run.log}};
  for (const auto& [flag, path] : flags) {
    if (path->empty()) continue;
    if (std::string clash = claims.clash(flag, *path); !clash.empty()) return clash;
    claims.claim(flag, *path);
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage("no command given");
  CommandLine cl;
  std::size_t i = 0;
  const std::string& first = args[0];
  if (first == "-h" || first == "--help") {
    std::cout << kHelp;
    return 0;
  }
  if (first == "help") return kav::show_help({args.begin() + 1, args.end()}, std::cout, std::cerr);
  if (first == "--version" || first == "-V") {
    std::cout << "kav " << KAV_VERSION << "\n";
    return 0;
  }
  if (first != "run" && first != "factor") return usage("unknown command '" + first + "'");
  cl.command = first;
  ++i;
  auto value = [&](const std::string& flag, std::string& out) {
    if (i + 1 >= args.size()) return false;
    out = args[++i];
    (void)flag;
    return true;
  };
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "-h" || a == "--help") {
      std::cout << kHelp;
      return 0;
    }
    if (a == "--work" || a == "--listing" || a == "--html" || a == "--json" || a == "--log" ||
        a == "--graphics-dir" || a == "--debug" || a == "--var" || a == "--partial" ||
        a == "--by" || a == "--freq" || a == "--weight" || a == "--priors" || a == "--type") {
      if (!value(a, v)) return usage(a + " needs a value");
      if (a == "--work") cl.run.work = v;
      else if (a == "--listing") cl.run.listing = v;
      else if (a == "--html") cl.run.html = v;
      else if (a == "--json") cl.run.json = v;
      else if (a == "--log") cl.run.log = v;
      else if (a == "--graphics-dir") cl.run.graphics_dir = v;
      else if (a == "--debug") cl.run.debug.push_back(v);
      else if (a == "--type") {
        if (cl.command != "factor") return usage("--type is only for 'kav factor'");
        if (v.empty() || v.size() > 8 || !kav::is_valid_name(v, kav::ValidVarName::V7))
          return usage("--type takes a data set type such as CORR, COV or FACTOR, not '" + v + "'");
        cl.type = v;
      } else {
        if (cl.command != "factor") return usage(a + " is only for 'kav factor'");
        std::string kw = a.substr(2);
        for (char& c : kw) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        cl.statements.emplace_back(kw, v);
      }
      continue;
    }
    if (a.size() > 1 && a[0] == '-' && a != "-") return usage("unknown option '" + a + "'");
    if (cl.program.empty()) {
      cl.program = a;
    } else if (cl.command == "factor") {
      if (a.find(';') != std::string::npos) return usage("a FACTOR option may not hold ';': '" + a + "'");
      cl.factor_options.push_back(a);
    } else {
      return usage("unexpected argument '" + a + "'");
    }
  }
  if (cl.program.empty())
    return usage(cl.command == "run" ? "'kav run' needs a program file" : "'kav factor' needs a data set");
  if (const std::string clash = clashing_outputs(cl); !clash.empty()) return usage(clash);

  std::string text, file;
  if (cl.command == "run") {
    file = cl.program;
    if (file == "-") {
      std::stringstream ss;
      ss << std::cin.rdbuf();
      text = ss.str();
      file = "<stdin>";
    } else {
      std::error_code ec;
      if (std::filesystem::is_directory(file, ec)) {
        // A folder opens as a stream that holds nothing: an empty program.
        std::cerr << "ERROR: The program file " << file << " cannot be read: it is a directory.\n";
        return 2;
      }
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        std::cerr << "ERROR: The program file " << file << " cannot be read: " << std::strerror(errno) << ".\n";
        return 2;
      }
      std::stringstream ss;
      ss << in.rdbuf();
      text = ss.str();
    }
  } else {
    text = "proc factor data=" + dataset_argument(cl.program);
    if (!cl.type.empty()) {
      // --type joins the data set's own options, or starts them.
      if (text.back() == ')') text.insert(text.size() - 1, " type=" + cl.type);
      else text += "(type=" + cl.type + ")";
    }
    for (const auto& o : cl.factor_options) text += " " + o;
    text += ";\n";
    for (const auto& [kw, v] : cl.statements) {
      if (v.find(';') != std::string::npos) return usage("--" + kw + " may not hold ';'");
      text += "  " + kw + " " + v + ";\n";
    }
    text += "run;\n";
    file = "<command line>";
  }
  return kav::run_program(text, file, cl.run);
}
