// Messages of the run-time itself: the program language, data sets and
// libraries, the DATA step, system options and the kav command.
#include <span>

#include "host/host_messages.h"
#include "host/messages.h"

namespace kav {

namespace {
using S = Severity;
constexpr int G = kHostGroup;
const MessageDef kHostMessages[] = {
    {G, msg::kUnclosedComment, S::Error,
     "The comment that starts here is never closed with */; the rest of the program is ignored."},
    {G, msg::kUnclosedString, S::Error,
     "The quoted string that starts here is not closed on its line. Close it with the same kind "
     "of quote; a quote inside a string is written twice."},
    {G, msg::kUndefinedMacro, S::Error,
     "Macro variable %1 is not defined. Define it with %LET %1 = value; before it is used."},
    {G, msg::kMacroLoop, S::Error,
     "Macro variable %1 is one reference too many: a statement may hold at most %2 macro "
     "references, counting those inside values. Either it refers to itself, directly or "
     "through others, or the statement must be split."},
    {G, msg::kBadNumber, S::Error, "%1 is not a valid number."},
    {G, msg::kNoFinalSemicolon, S::Error,
     "The program ends in the middle of a statement: a semicolon is missing at its end."},
    {G, msg::kUnknownStatement, S::Error, "Statement %1 is not known or not valid here%2."},
    {G, msg::kMissingSemicolonBeforeRun, S::Error,
     "%1 appears inside a statement: a semicolon is probably missing before it."},
    {G, msg::kSyntax, S::Error, "Expected %1 but found %2."},
    {G, msg::kUnknownOption, S::Error, "Option %1 is not known in the %2 statement."},
    {G, msg::kBadOptionValue, S::Error, "The value %2 of %1 is not valid: %3."},
    {G, msg::kStepSkipped, S::Error,
     "The %1 step was not run because of the errors above; the run goes on with the next step."},
    {G, msg::kUnknownProcedure, S::Error, "Procedure %1 is not known. Known procedures: %2."},
    {G, msg::kStatementOutsideStep, S::Error,
     "The %1 statement is only valid inside a %2 step."},
    {G, msg::kPutText, S::Note, "%1"},
    {G, msg::kStepStopped, S::Error, "The %1 step stopped (code %2)."},
    {G, msg::kStepEnded, S::Warning, "The %1 step ended with status %2."},
    {G, msg::kStepTime, S::Note, "The %1 step used %2 seconds."},

    {G, msg::kLibrefUnassigned, S::Error,
     "Libref %1 is not assigned. Assign it with LIBNAME %1 'folder'; first."},
    {G, msg::kLibrefAssigned, S::Note, "Libref %1 refers to the folder %2."},
    {G, msg::kLibraryFolderMissing, S::Error, "The folder %1 for libref %2 cannot be used: %3."},
    {G, msg::kLibrefInvalid, S::Error,
     "%1 is not a valid libref: a libref is a name of at most 8 characters."},
    {G, msg::kDataSetMissing, S::Error, "Data set %1 does not exist (looked for %2)."},
    {G, msg::kDataSetWritten, S::Note, "Data set %1 has %2 observations and %3 variables."},
    {G, msg::kDataSetNotReplaced, S::Warning,
     "Data set %1 was not written because the step stopped or ended in error without "
     "results; an earlier data set of that name is unchanged."},
    {G, msg::kDataError, S::Error, "%1"},
    {G, msg::kDataNote, S::Note, "%1"},
    {G, msg::kInvalidName, S::Error, "%1 is not a valid name under VALIDVARNAME=%2."},
    {G, msg::kDataSetOptionUnknown, S::Error,
     "Data set option %1 is not known; the options are TYPE=, LABEL=, KEEP=, DROP=, "
     "RENAME=, WHERE=, FIRSTOBS= and OBS=."},
    {G, msg::kNotSortedBy, S::Error,
     "Data set %1 is not sorted by %2: observation %3 comes after a later BY group. Sort the "
     "data, or add NOTSORTED to the BY statement if the groups are contiguous."},
    {G, msg::kByVariableMissing, S::Error, "BY variable %1 is not in data set %2."},
    {G, msg::kVariableNotFound, S::Error, "Variable %1 is not in data set %2."},
    {G, msg::kWriteFailed, S::Error, "Data set %1 could not be written: %2."},
    {G, msg::kLibrefCleared, S::Note, "Libref %1 is no longer assigned."},
    {G, msg::kDatabaseUnusable, S::Error,
     "Library %1 cannot be assigned to the %2: %3. Check the file name or the connection "
     "string."},
    {G, msg::kDatabaseAssigned, S::Note, "Libref %1 refers to the %2."},
    {G, msg::kMomentsPushedDown, S::Note,
     "The moment pass over %1 ran in the %2 database: %3 BY group(s) of sums came back instead "
     "of the rows. OPTIONS NOPUSHDOWN; reads the rows instead."},
    {G, msg::kSpecialMissingNull, S::Note,
     "%1 special missing value(s) (.A-.Z, ._) of data set %2 were written to the %3 as NULL "
     "and will be read back as the ordinary missing value."},

    {G, msg::kInputListBad, S::Error, "The INPUT statement is not valid: %1."},
    {G, msg::kInvalidNumericData, S::Error,
     "Invalid numeric data '%1' for variable %2 in line %3, field %4; the value is set to "
     "missing. Declare the variable character with $ if it holds text."},
    {G, msg::kInvalidNumericDataCount, S::Note,
     "In all, %1 fields held invalid numeric data and were set to missing."},
    {G, msg::kLostCard, S::Note,
     "The data ended in the middle of an observation at line %1; that incomplete observation "
     "was not written."},
    {G, msg::kFlowOver, S::Note,
     "INPUT read past the end of line %1 and went on to the next line for the remaining "
     "variables."},
    {G, msg::kTruncatedCharacter, S::Warning,
     "Values of character variable %1 longer than its length %2 were shortened (%3 values). "
     "Give it a larger length with LENGTH %1 $ n; before the statement that first gives it a "
     "value."},
    {G, msg::kDataStepStatementUnsupported, S::Error,
     "The DATA step does not support %1. See kav help data step for the statements it "
     "takes."},
    {G, msg::kInfileMissing, S::Error, "The file %1 named in INFILE cannot be read: %2."},
    {G, msg::kNoDataLines, S::Error,
     "INPUT has nothing to read: give DATALINES or an INFILE statement."},
    {G, msg::kConflictingType, S::Error,
     "Variable %1 is used both as character and as numeric."},
    {G, msg::kLengthBad, S::Error, "The length %1 of variable %2 is not valid (1 to 32767)."},
    {G, msg::kDataLinesWithInfile, S::Warning,
     "Both INFILE and DATALINES are given; INPUT reads the INFILE file and the data lines are "
     "ignored."},
    {G, msg::kVariableRenamed, S::Note, "%1"},

    {G, msg::kUnknownSystemOption, S::Error, "System option %1 is not known."},
    {G, msg::kSystemOptionValue, S::Error, "The value %2 of system option %1 is not valid: %3."},
    {G, msg::kOdsError, S::Error, "%1"},
    {G, msg::kTitleTooLong, S::Warning, "%1"},
    {G, msg::kOdsNote, S::Note, "%1"},
    {G, msg::kTitleNumber, S::Error,
     "Statement %1 is not valid: the lines of %2 are numbered from 1 to 10."},

    {G, msg::kNoVariables, S::Error, "Data set %1 has no variables to show."},
    {G, msg::kDataOptionRequired, S::Error,
     "The %1 procedure needs a data set: give DATA=, or create a data set in an earlier step."},

    {G, msg::kMemoryRefused, S::Error,
     "A request for %1 bytes of memory was refused: it is beyond what the step may use."},
    {G, msg::kUtilityFile, S::Error, "The step's scratch file failed: %1."},
    {G, msg::kOptionOutOfRange, S::Error, "The value %2 given for %1 is out of range: %1 takes %3."},
    {G, msg::kVariableWrongType, S::Error,
     "Variable %1 is %2, but the %3 statement takes only %4 variables."},
    {G, msg::kVariableListBad, S::Error, "The variable list %1 is not valid: %2."},
    {G, msg::kVariablePrefixEmpty, S::Error,
     "No variable of data set %2 has a name beginning with %1, so the list %1: is empty."},
    {G, msg::kVariableRepeated, S::Error,
     "Variable %1 is named more than once in the %2 statement; each variable may be listed "
     "only once."},

    {G, msg::kMacroValueTooLong, S::Error,
     "The value of macro variable %1 would be %2 characters long; a macro variable holds at "
     "most %3 characters. The variable is left as it was."},
    {G, msg::kMacroExpansionTooLong, S::Error,
     "Replacing the reference to macro variable %1 would make the statement more than %2 "
     "characters longer than it is written; the statement is not run."},
    {G, msg::kTooManyVariables, S::Error, "%1 would have %2 variables; at most %3 are allowed."},

    {G, msg::kExprType, S::Error,
     "The operator or function %1 needs %2 values, but %3 is %4. Compare numbers with "
     "numbers and text with text; join text with ||."},
    {G, msg::kUnknownFunction, S::Error,
     "Function %1 is not known. The functions are %2."},
    {G, msg::kFunctionArguments, S::Error, "Function %1 takes %2, but is given %3."},
    {G, msg::kArraySubscript, S::Error,
     "The subscript %1 of array %2 is outside 1 to %3; the step stops."},
    {G, msg::kMissingGenerated, S::Note,
     "Missing values were generated by operations on missing values %1 times at line %2 "
     "column %3."},
    {G, msg::kDivisionByZero, S::Note,
     "Division by zero %1 times at line %2 column %3; each result was set to missing."},
    {G, msg::kOverflow, S::Note,
     "A result too large for a number %1 times at line %2 column %3; each was set to missing."},
    {G, msg::kInvalidArgument, S::Note,
     "Invalid argument to function %1 %2 times at line %3 column %4; each result was set to "
     "missing."},
    {G, msg::kUninitialized, S::Note,
     "Variable %1 is used but never given a value or read; it is missing throughout."},
    {G, msg::kRandomSeed, S::Note,
     "The random-number functions were started from the clock with seed %1; give that seed "
     "to repeat the values."},
    {G, msg::kBlockBad, S::Error, "%1."},
    {G, msg::kDataSetOptionBad, S::Error, "The data set option %1 is not valid: %2."},
    {G, msg::kMemberAmbiguous, S::Error,
     "Data set %1 matches two files that differ only in case, %2 and %3; rename one of them."},
    {G, msg::kWhereVariable, S::Error,
     "The WHERE clause names variable %1, which is not in data set %2."},
};
}  // namespace

std::span<const MessageDef> host_messages() { return kHostMessages; }

}  // namespace kav
