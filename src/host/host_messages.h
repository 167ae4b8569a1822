// Numbers of the run-time's own messages (group kHostGroup).  The texts are
// in messages_host.cpp.
#pragma once

namespace kav::msg {

// Reading programs
inline constexpr int kUnclosedComment = 1;
inline constexpr int kUnclosedString = 2;
inline constexpr int kUndefinedMacro = 3;
inline constexpr int kMacroLoop = 4;
inline constexpr int kBadNumber = 5;
inline constexpr int kNoFinalSemicolon = 6;
inline constexpr int kUnknownStatement = 7;
inline constexpr int kMissingSemicolonBeforeRun = 8;
inline constexpr int kSyntax = 9;            // %1 expected, %2 found
inline constexpr int kUnknownOption = 10;    // option %1 of statement %2
inline constexpr int kBadOptionValue = 11;   // %1 value %2: %3
inline constexpr int kStepSkipped = 12;      // step %1 not run because of errors
inline constexpr int kUnknownProcedure = 13;
inline constexpr int kStatementOutsideStep = 14;
inline constexpr int kPutText = 15;          // %PUT output
inline constexpr int kStepStopped = 16;      // step %1 stopped with code %2
inline constexpr int kStepEnded = 17;        // step %1 ended with code %2
inline constexpr int kStepTime = 18;

// Libraries and data sets
inline constexpr int kLibrefUnassigned = 20;
inline constexpr int kLibrefAssigned = 21;
inline constexpr int kLibraryFolderMissing = 22;
inline constexpr int kLibrefInvalid = 23;
inline constexpr int kDataSetMissing = 24;
inline constexpr int kDataSetWritten = 25;    // %1 obs %2 vars
inline constexpr int kDataSetNotReplaced = 26;
inline constexpr int kDataError = 27;         // a data set could not be read: %1
inline constexpr int kDataNote = 28;          // a note from a storage engine
inline constexpr int kInvalidName = 29;       // name %1 not valid under VALIDVARNAME=%2
inline constexpr int kDataSetOptionUnknown = 30;
inline constexpr int kNotSortedBy = 31;       // data set %1 not sorted: obs %2
inline constexpr int kByVariableMissing = 32;
inline constexpr int kVariableNotFound = 33;  // variable %1 not in %2
inline constexpr int kWriteFailed = 34;
inline constexpr int kLibrefCleared = 35;
// Database libraries
inline constexpr int kDatabaseUnusable = 36;    // libref, engine and place, reason
inline constexpr int kDatabaseAssigned = 37;    // libref, engine and place
inline constexpr int kMomentsPushedDown = 38;   // data set, engine, groups
inline constexpr int kSpecialMissingNull = 39;  // count, data set, engine and place

// DATA step
inline constexpr int kInputListBad = 40;
inline constexpr int kInvalidNumericData = 41;     // text %1 for variable %2 line %3 col %4
inline constexpr int kInvalidNumericDataCount = 42;
inline constexpr int kLostCard = 43;
inline constexpr int kFlowOver = 44;
inline constexpr int kTruncatedCharacter = 45;
inline constexpr int kDataStepStatementUnsupported = 46;
inline constexpr int kInfileMissing = 47;
inline constexpr int kNoDataLines = 48;
inline constexpr int kConflictingType = 49;
inline constexpr int kLengthBad = 50;
inline constexpr int kDataLinesWithInfile = 51;
inline constexpr int kVariableRenamed = 52;

// System options and output
inline constexpr int kUnknownSystemOption = 60;
inline constexpr int kSystemOptionValue = 61;
inline constexpr int kOdsError = 62;
inline constexpr int kTitleTooLong = 63;
inline constexpr int kOdsNote = 64;
inline constexpr int kTitleNumber = 65;  // TITLEn/FOOTNOTEn with n outside 1 to 10

// Procedures of the run-time (PRINT, CONTENTS)
inline constexpr int kNoVariables = 70;
inline constexpr int kDataOptionRequired = 71;

// Step services
inline constexpr int kMemoryRefused = 80;
inline constexpr int kUtilityFile = 81;

// Statement grammars and variable lists
inline constexpr int kOptionOutOfRange = 90;   // value %2 of %1 outside %3
inline constexpr int kVariableWrongType = 91;  // variable %1 is %2; %3 takes %4 variables
inline constexpr int kVariableListBad = 92;    // variable list %1 not valid: %2
inline constexpr int kVariablePrefixEmpty = 93;  // no variable of %2 begins with %1
inline constexpr int kVariableRepeated = 94;     // variable %1 named again in %2

// Limits on what a program may ask for
inline constexpr int kMacroValueTooLong = 100;      // macro %1, length %2, limit %3
inline constexpr int kMacroExpansionTooLong = 101;  // at macro %1, limit %2
inline constexpr int kTooManyVariables = 102;       // what, count, limit

// Expressions and the statements of the DATA step that run them
inline constexpr int kExprType = 110;            // operator %1 needs %2; %3 is %4
inline constexpr int kUnknownFunction = 111;     // function %1
inline constexpr int kFunctionArguments = 112;   // function %1 takes %2, given %3
inline constexpr int kArraySubscript = 113;      // subscript %1 of array %2 outside 1..%3
inline constexpr int kMissingGenerated = 114;    // %1 times at line %2 column %3
inline constexpr int kDivisionByZero = 115;      // %1 times at line %2 column %3
inline constexpr int kOverflow = 116;            // %1 times at line %2 column %3
inline constexpr int kInvalidArgument = 117;     // function %1, %2 times, line %3 column %4
inline constexpr int kUninitialized = 118;       // variable %1
inline constexpr int kRandomSeed = 119;          // seed %1 drawn from the clock
inline constexpr int kBlockBad = 120;            // %1: DO without END, ELSE without IF...
inline constexpr int kDataSetOptionBad = 121;    // option %1: %2
inline constexpr int kMemberAmbiguous = 122;     // member %1 matches %2 and %3
inline constexpr int kWhereVariable = 123;       // WHERE names %1, not in %2

}  // namespace kav::msg
