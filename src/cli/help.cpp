#include "cli/help.h"

#include <ostream>

#include "cli/run.h"
#include "host/dataset.h"
#include "host/session.h"
#include "host/stmtparse.h"

namespace kav {

namespace {

const char* const kTopics = R"(kav help TOPIC shows one of:
    statements    global statements and the steps of a program
    data step     the DATA step: entering and preparing data
    data sets     naming data sets, libraries, CSV files, data set options,
                  and special data sets (correlation and covariance matrices)
    output        the listing, HTML and JSON results, and ODS statements
    factor        every option of PROC FACTOR and its secondary statements
                  (kav help print and kav help contents for the others)
)";

const char* const kStatements = R"(STATEMENTS
A program is a list of statements, each ending with a semicolon.  Case does
not matter.  Comments: /* ... */ anywhere, and * ... ; as a statement.

Global statements (run where they stand):
    LIBNAME ref 'folder';           a folder of data sets (ref.name is name.csv)
    LIBNAME ref CLEAR;
    OPTIONS option ...;             VALIDVARNAME=V6|V7|ANY, THREADS|NOTHREADS,
                                    CPUCOUNT=n|ACTUAL, LINESIZE= (LS=),
                                    PAGESIZE= (PS=), DEBUG=name
    TITLE[n] 'text';  FOOTNOTE[n] 'text';   lines 1 to 10; empty clears
    ODS ...;                        see kav help output
    %LET name = text;  %PUT text;   macro variables, used as &name or &name.
    RUN;  QUIT;                     end the step before them

Steps:
    DATA ...; ... RUN;              see kav help data step
    PROC FACTOR ...; ... RUN;       see kav help factor
    PROC PRINT DATA=ds [NOOBS] [LABEL]; [VAR vars;] [BY vars;] [WHERE cond;]
    PROC CONTENTS DATA=ds;          variables, types, lengths, labels, type

A step with an error is skipped and the run goes on with the next step.
PROC FACTOR sets the macro variables SYSRANDOM and SYSRANEND to the seed
it used, so that a random start can be repeated with RANDOM=&sysrandom.
)";

const char* const kDataStep = R"(DATA STEP
    DATA name [(data set options)];  or  DATA _NULL_;
      statements
    RUN;

Entering data:
    INPUT name [$] ... ;            list input; x1-x9 ranges; $ [width] for text;
                                    @@ at the end reads several per line
    INFILE 'file' [DLM=','] [DSD] [FIRSTOBS=n];
    DATALINES; (or CARDS;)          data lines end at a line holding ;
    LENGTH name [$] n ...;  LABEL name = 'text' ...;

Preparing data:
    SET ds1 [ds2 ...] [END=var];    reads the data sets in turn (see BY)
    BY [DESCENDING] var ... [NOTSORTED];   with SET: FIRST.var and LAST.var;
                                    several data sets are interleaved by the
                                    BY values (each must be sorted by them)
    WHERE condition;                observations SET reads
    var = expression;               assignment (a{i} = ... for an element)
    IF condition THEN statement; [ELSE statement;]
    IF condition;                   subsetting IF: only those go on
    DELETE;  OUTPUT;  STOP;
    DO; ... END;   DO i = a TO b [BY c]; ... END;
    DO WHILE (condition); ... END;  DO UNTIL (condition); ... END;
    ARRAY a{n} [$] vars;  ARRAY a{*} vars;   a{i} or, in DO OVER a, a
    DO OVER a; ... END;
    RETAIN [var [initial value]] ...;
    KEEP vars;  DROP vars;  RENAME old = new ...;

Expressions:
    arithmetic  + - * / ** (power, right to left; -2**2 is -4)
    comparison  = ^= ~= < <= > >= EQ NE LT LE GT GE, IN (1, 2, 3)
    logic       AND & OR | NOT ^ ~     text  || joins
    functions   ABS SQRT LOG EXP INT ROUND(x[, unit])
                MOD(x, d) FLOOR CEIL MIN MAX SUM MEAN STD N NMISS (missing values left out;
                SUM(OF q1-q7), MEAN(OF a{*}))  MISSING(x)
                RANUNI(seed) RANNOR(seed)   the first seed starts the stream;
                0 takes one from the clock and the log says which
                UPCASE TRIM STRIP LENGTH
A missing value (.) is below every number and false.  Arithmetic on a
missing value, division by zero, overflow and arguments outside a function's
domain give a missing value; the log says how many times at which line and
column.  A name never given a value is a numeric variable, noted in the log.
A step that stops with an error writes nothing: a data set of that name
made before stays as it was.

Example, reverse-scoring seven items and keeping complete cases:
    data items;
      set survey.wave1(where=(age >= 18));
      array rev{7} q2 q4 q5 q7 q8 q9 q10;
      do k = 1 to 7; rev{k} = 6 - rev{k}; end;
      if nmiss(of q1-q10) = 0;
      drop k;
    run;
)";

const char* const kDataSets = R"(DATA SETS
Names:
    name            WORK.name: a temporary folder, removed at the end
                    (kav run --work DIR keeps it)
    ref.name        the file name.csv in the folder of LIBNAME ref 'folder';
                    found whatever the case of its letters (two files that
                    differ only in case are an error naming both)
    'path/file.csv' that file

Data set options, in parentheses after any name:
    TYPE=name       the data set's type, such as CORR (see below)
    LABEL='text'    the data set's label
    KEEP=vars       only these variables
    DROP=vars       all but these
    RENAME=(old=new ...)
    WHERE=(condition)   only the observations for which it holds
    FIRSTOBS=n      start at the n-th observation (after WHERE=)
    OBS=n           stop at the n-th observation (after WHERE=; MAX for all)
FIRSTOBS= and OBS= only apply to data sets read.  WHERE= names variables
after RENAME=.  Example:
    proc factor data=q.survey(where=(site = 'north') drop=id obs=500);

CSV files: a header row of names, then one observation per row.  A column
whose values all read as numbers is numeric; empty, ., NA and NaN are
missing, .A-.Z and ._ special missing values.  kav writes beside each data
set a sidecar name.csv.json keeping its type, label, variable labels, kinds
and lengths, and reads it when present.

Special data sets: a correlation, covariance or factor matrix is marked by
the data set's type.  Either
    - give the type when reading:  proc factor data=corr.csv(type=corr);
      or on the command line:      kav factor corr.csv --type corr
                                   kav factor 'corr.csv(type=corr)'
    - or keep it in the sidecar corr.csv.json:  {"type": "CORR"}
    - or make the data set in a DATA step:  data c(type=corr); ...
The types PROC FACTOR reads are CORR, COV, UCORR, UCOV, SSCP and FACTOR.
A CORR data set has the character variables _TYPE_ and _NAME_ and one
numeric variable per analysis variable:
    _TYPE_  _NAME_  x1    x2    x3
    N               200   200   200
    MEAN            ...
    STD             ...
    CORR    x1      1     .5    .3
    CORR    x2      .5    1     .4
    CORR    x3      .3    .4    1
)";

const char* const kOutput = R"(OUTPUT
The listing (the printed report) goes to standard output, or to a file with
--listing FILE; the log to standard error, or --log FILE.
    --html FILE     one self-contained HTML file with tables and SVG graphs
    --json FILE     every output object and the log, for other programs
    --graphics-dir DIR   every graph also as an SVG file
In a program:
    ODS HTML FILE='report.html';  ...  ODS HTML CLOSE;
    ODS JSON FILE='results.json'; ...  ODS JSON CLOSE;
    ODS OUTPUT TableName=dataset ...;   a table's rows as a data set
    ODS SELECT name ...;  ODS EXCLUDE name ...;  (ALL or NONE)
    ODS TRACE ON|OFF;     names, labels and paths of the objects, in the log
    ODS GRAPHICS ON|OFF;  statistical graphics (on unless turned off)
PROC FACTOR also writes data sets: OUT= (scores) and OUTSTAT= (statistics,
TYPE=FACTOR, readable again as DATA=).
)";

}  // namespace

int show_help(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
  std::string topic;
  for (const auto& w : words) {
    if (!topic.empty()) topic += ' ';
    topic += upper(w);
  }
  if (topic.empty()) {
    out << kTopics;
    return 0;
  }
  if (topic == "STATEMENTS")
    out << kStatements;
  else if (topic == "DATA STEP" || topic == "DATA" || topic == "DATASTEP")
    out << kDataStep;
  else if (topic == "DATA SETS" || topic == "DATASETS" || topic == "DATA SET")
    out << kDataSets;
  else if (topic == "OUTPUT" || topic == "ODS")
    out << kOutput;
  else if (topic == "PRINT" || topic == "CONTENTS")
    out << kStatements;
  else {
    ProcedureRegistry registry;
    register_all_procedures(registry);
    const ProcedureModule* module = registry.find(topic);
    if (!module || !module->grammar) {
      err << "kav: no help topic '" << topic << "'\n" << kTopics;
      return 64;
    }
    out << grammar_reference(*module->grammar);
  }
  return 0;
}

}  // namespace kav
