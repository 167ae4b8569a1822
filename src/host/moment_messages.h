// Message numbers of the moment pass (group 230): reading raw observations
// and special data sets into means, deviations and the matrix.  The texts
// are in messages_procedure.cpp.
#pragma once

namespace kav {

inline constexpr int kReadGroup = 230;
inline constexpr int kMsgReadSpecialAsRaw = 1;   // data set
inline constexpr int kMsgReadMissingValues = 3;  // left out, read, data set
inline constexpr int kMsgReadBadFreqWeight = 4;  // left out, read, data set
inline constexpr int kMsgReadNoObs = 5;
inline constexpr int kMsgReadWeightSum = 6;
inline constexpr int kMsgReadTooFewObs = 7;  // observations needed
inline constexpr int kMsgReadVardef = 8;
inline constexpr int kMsgReadSpecialNoType = 9;
inline constexpr int kMsgReadNoNameVar = 10;
inline constexpr int kMsgReadNRowUneven = 11;
inline constexpr int kMsgReadSumwgtUneven = 12;
inline constexpr int kMsgReadNameInvalid = 13;
inline constexpr int kMsgReadNameUnreadable = 14;
inline constexpr int kMsgReadNoMatrixRows = 15;
inline constexpr int kMsgReadMatrixMissing = 16;
inline constexpr int kMsgReadNoNRow = 17;
inline constexpr int kMsgReadRescaled = 18;
inline constexpr int kMsgReadNoTypeDefaults = 19;
inline constexpr int kMsgReadTooManyRows = 21;
inline constexpr int kMsgReadDiagonalNotOne = 22;  // variable name, value
inline constexpr int kMsgReadNotSymmetric = 23;    // two variable names
inline constexpr int kMsgReadNegativeCentred = 24;
inline constexpr int kMsgReadDiagonalAboveOne = 25;
inline constexpr int kMsgReadZeroVarianceCov = 26;
inline constexpr int kMsgReadNegativeVariance = 27;  // variable name
inline constexpr int kMsgReadRowsReplaced = 28;      // incomplete rows, rows read instead
inline constexpr int kMsgReadSscpNoIntercept = 31;
inline constexpr int kMsgReadInterceptType = 32;
inline constexpr int kMsgReadTypeNameChar = 33;
inline constexpr int kMsgReadSscpNoInterceptSum = 34;
inline constexpr int kMsgReadEstParmMissing = 35;
inline constexpr int kMsgReadMeanMissing = 36;
inline constexpr int kMsgReadMeansAssumed = 38;
inline constexpr int kMsgReadStdAssumed = 39;
inline constexpr int kMsgReadDiagonalMissing = 40;
inline constexpr int kMsgReadIncomplete = 41;
inline constexpr int kMsgReadVariableAllMissing = 42;  // data set, variable name
inline constexpr int kMsgReadAllObsMissing = 43;       // data set, observations read
inline constexpr int kMsgReadSscpOverflow = 44;        // variable name
inline constexpr int kMsgReadSscpUnderflow = 45;       // variable name
inline constexpr int kMsgReadBadCount = 46;            // row type, value, variable name

}  // namespace kav
