// Message numbers of the procedure's catalogue group (180), in one place
// so that two stages can never give one number two names or one name two
// numbers.  The texts live in the host's catalogue.  The groups of the
// routines the procedure shares have their own headers beside the catalogue:
// host/moment_messages.h (230), host/thread_messages.h (174) and
// host/graph_messages.h (210).
#pragma once

namespace kav {

// The frame: input, variables, limits and stages.
inline constexpr int kFactorGroup = 180;
inline constexpr int kMsgNoInput = 1;
inline constexpr int kMsgNoVariables = 12;
inline constexpr int kMsgUnknownMethod = 25;
inline constexpr int kMsgTooLarge = 91;
inline constexpr int kMsgTargetBy = 176;
inline constexpr int kMsgTargetNoGroup = 177;  // the BY values of the skipped group
inline constexpr int kMsgStagePending = 901;
inline constexpr int kMsgNoToolkit = 902;
inline constexpr int kMsgNoInstance = 903;
inline constexpr int kMsgNoMemory = 905;  // bytes, number of variables
inline constexpr int kMsgCorrelationsOnly = 906;  // NFACTORS=-1

// Checks of the statement's options against each other and the input.
inline constexpr int kMsgPriorsCount = 2;
inline constexpr int kMsgPriorsNeedSmc = 3;     // priors, method
inline constexpr int kMsgPriorsInputRaw = 4;    // input data set type
inline constexpr int kMsgWeightOptionRaw = 5;   // input data set type
inline constexpr int kMsgSolutionInputRaw = 6;  // input data set type
inline constexpr int kMsgFactorInputNoVar = 7;  // _NAME_ or _TYPE_
inline constexpr int kMsgTargetNoVar = 8;       // variable name
inline constexpr int kMsgOutNeedsRaw = 9;
inline constexpr int kMsgOutNeedsNfactors = 10;
inline constexpr int kMsgMapBothForms = 77;
inline constexpr int kMsgParallelDecides = 78;
inline constexpr int kMsgMapDecides = 79;
inline constexpr int kMsgParallelAndMap = 80;
inline constexpr int kMsgNoint = 175;
inline constexpr int kMsgInterceptAnalysed = 181;
inline constexpr int kMsgTargetCharacter = 182;     // variable name
inline constexpr int kMsgWeightOptionMethod = 185;  // method
inline constexpr int kMsgHeywoodBoth = 299;
inline constexpr int kMsgParallelNoCritical = 304;
inline constexpr int kMsgParallelAlpha = 305;
inline constexpr int kMsgMapNotComputed = 308;
inline constexpr int kMsgMapNeedsTwo = 309;
inline constexpr int kMsgThreadsAvailable = 310;  // threads asked, threads used
inline constexpr int kMsgOutNameClash = 352;      // variable name
inline constexpr int kMsgStderrNeedsMl = 353;
inline constexpr int kMsgOnetailIgnored = 354;
inline constexpr int kMsgImageMsa = 420;
inline constexpr int kMsgAidMethodDecides = 421;  // NFACTORS= value, method
inline constexpr int kMsgAidMethodIgnored = 422;  // the aid, method

// Correlations and the number-of-factors aids.
inline constexpr int kMsgFewObservations = 21;  // nobs not above the number of variables
inline constexpr int kMsgCondStdTitle = 23;     // title of the conditional deviations
inline constexpr int kMsgZeroVariance = 24;     // variable name
inline constexpr int kMsgFewForPartial = 184;   // npar
inline constexpr int kMsgMapNoCorr = 311;
inline constexpr int kMsgParallelNoCorr = 312;
inline constexpr int kMsgAidsTooFewObs = 430;
inline constexpr int kMsgParallelDropped = 431;
inline constexpr int kMsgMapDropped = 432;
inline constexpr int kMsgAidFailed = 433;  // the aid, the reason

// Priors and the diagnostics of the correlation matrix.
inline constexpr int kMsgSingular = 13;
inline constexpr int kMsgMsaTitle = 14;
inline constexpr int kMsgRandomSeed = 15;
inline constexpr int kMsgSmcSubstitute = 16;
inline constexpr int kMsgNoPriorsRow = 17;
inline constexpr int kMsgNoWeightRow = 18;
inline constexpr int kMsgPriorsSmcTitle = 19;
inline constexpr int kMsgPriorsTitle = 20;
inline constexpr int kMsgMaxSubstitute = 160;

// Principal-factor extraction.
inline constexpr int kMsgHeywood = 42;
inline constexpr int kMsgHeywoodHint = 55;
inline constexpr int kMsgEigCov = 63;       // 64: reduced
inline constexpr int kMsgEigWeighted = 65;  // 66: reduced
inline constexpr int kMsgEigCorr = 67;      // 68: reduced
inline constexpr int kMsgNotConverged = 73;
inline constexpr int kMsgReasonConverged = 75;
inline constexpr int kMsgAlphaTitle = 76;
inline constexpr int kMsgPreliminary = 114;
inline constexpr int kMsgIterConverged = 193;

// Newton-Raphson fits (ML, ULS, GLS), their tests and fit measures.
inline constexpr int kMsgNrIterLimit = 117;
inline constexpr int kMsgNrNoDescent = 118;
inline constexpr int kMsgNrRidge = 119;
inline constexpr int kMsgNrHessian = 120;
inline constexpr int kMsgNrSingular = 124;
inline constexpr int kMsgNrConverged = 125;  // reason in the convergence status
inline constexpr int kMsgNrCaution = 126;    // output note
inline constexpr int kMsgSigTitle = 127;     // number of observations
inline constexpr int kMsgSigNone = 128;
inline constexpr int kMsgSigNoneAlt = 129;
inline constexpr int kMsgSigFactors = 131;  // number of factors
inline constexpr int kMsgSigFactorsAlt = 132;
inline constexpr int kMsgAic = 133;
inline constexpr int kMsgSbc = 134;
inline constexpr int kMsgTuckerLewis = 135;
inline constexpr int kMsgCanCorr = 136;
inline constexpr int kMsgNrPreliminary = 173;
inline constexpr int kMsgChiUncorrected = 180;
inline constexpr int kMsgSigFactor1 = 186;
inline constexpr int kMsgNrUnclear = 192;
inline constexpr int kMsgFitMeasures = 204;
inline constexpr int kMsgSignifTests = 205;
inline constexpr int kMsgNrWeightMissing = 440;  // variable name
inline constexpr int kMsgSigNoDf = 441;          // hypothesis text, degrees of freedom

// Standard errors.
inline constexpr int kMsgSeBoundary = 368;  // the variables whose unique variance is at a bound

// The number of factors retained.
inline constexpr int kMsgNoEigenvalues = 35;
inline constexpr int kMsgRetainedNote = 36;  // several factors, output note
inline constexpr int kMsgNoDf = 37;
inline constexpr int kMsgNoFactors = 41;
inline constexpr int kMsgRetainedNote1 = 188;  // one factor, output note
inline constexpr int kMsgPaLog = 189;          // 190: one factor
inline constexpr int kMsgRetainedLog = 191;
inline constexpr int kMsgRetainedLog1 = 194;
inline constexpr int kMsgPaNote = 198;   // 199: one factor
inline constexpr int kMsgMap2Log = 289;  // 290 one; notes 291, 292
inline constexpr int kMsgMap4Log = 293;  // 294 one; notes 295, 296

// Variance explained and final communalities.
inline constexpr int kMsgVarExplain = 44;  // 45 ignoring, 46 eliminating other factors
inline constexpr int kMsgFinalCommun = 49;
inline constexpr int kMsgFactorDropped = 58;
inline constexpr int kMsgNoFactorLeft = 59;

// Image analysis.
inline constexpr int kMsgMultipleCorr = 27;
inline constexpr int kMsgImageSingular = 28;
inline constexpr int kMsgImageEigWeighted = 113;
inline constexpr int kMsgLinearCombination = 179;
inline constexpr int kMsgImageEig = 187;
inline constexpr int kMsgImageCoef = 994;
inline constexpr int kMsgImageCov = 995;
inline constexpr int kMsgImageFactors = 996;

// Solutions read from a TYPE=FACTOR data set and the scores computed from them.
inline constexpr int kMsgNoFactorRows = 31;
inline constexpr int kMsgFewFcorrRows = 32;
inline constexpr int kMsgDependentScores = 57;
inline constexpr int kMsgInputPattern = 986;
inline constexpr int kMsgStdScoreCoef = 112;

// The oblique solution's tables.
inline constexpr int kMsgSingularFcor = 53;
inline constexpr int kMsgInterFactor = 984;
inline constexpr int kMsgObliquePattern = 985;
inline constexpr int kMsgRefAxes = 987;
inline constexpr int kMsgRefStructure = 988;
inline constexpr int kMsgStructure = 989;

// Procrustes rotation.
inline constexpr int kMsgProcrustesNoTarget = 115;
inline constexpr int kMsgTargetShort = 81;
inline constexpr int kMsgTargetLong = 82;
inline constexpr int kMsgRankDeficient = 84;
inline constexpr int kMsgTargetExtreme = 183;
inline constexpr int kMsgTargetTitle = 990;
inline constexpr int kMsgProcrustesTrans = 991;
inline constexpr int kMsgNormTrans = 992;

// Orthogonal rotation and the rotated solution's tables.
inline constexpr int kMsgHkNotOblique = 100;
inline constexpr int kMsgOneFactor = 102;
inline constexpr int kMsgNoFactor = 103;
inline constexpr int kMsgVarWeights = 104;
inline constexpr int kMsgFactorWeights = 105;
inline constexpr int kMsgRotNotConverged = 178;
inline constexpr int kMsgRotSingular = 195;
inline constexpr int kMsgRotNoOptimum = 196;
inline constexpr int kMsgNoRotIterations = 197;
inline constexpr int kMsgRotConverged = 301;
inline constexpr int kMsgRotException = 500;
inline constexpr int kMsgMethodHk = 980;
inline constexpr int kMsgOrthTrans = 981;
inline constexpr int kMsgRotPattern = 982;
inline constexpr int kMsgObliqueTrans = 983;

// Scoring coefficients, residual and partial correlations.
inline constexpr int kMsgScoreHeading = 109;
inline constexpr int kMsgScoreSingular = 110;
inline constexpr int kMsgVarFactorCorr = 111;
inline constexpr int kMsgResidualTitle = 87;
inline constexpr int kMsgResidualRms = 88;
inline constexpr int kMsgPartialTitle = 89;
inline constexpr int kMsgPartialRms = 90;
inline constexpr int kMsgPartialLabel = 209;
inline constexpr int kMsgResidualLabel = 227;
inline constexpr int kMsgScoreLabel = 231;

// Standard errors of the rotated solution.
inline constexpr int kMsgSigmaSingular = 355;
inline constexpr int kMsgNotDecomposed = 356;
inline constexpr int kMsgFcorSingular = 357;
inline constexpr int kMsgSeNoMemory = 358;
inline constexpr int kMsgMethodWithout = 359;
inline constexpr int kMsgNormWithout = 360;
inline constexpr int kMsgTinyPivot = 361;
inline constexpr int kMsgRotationSingular = 904;

// Titles, labels and notes of the output layer.
inline constexpr int kMsgEigenTitle = 33;      // total, average, count, text
inline constexpr int kMsgEigenTitleNone = 34;  // count, text, total
inline constexpr int kMsgFootFlag = 50;        // flag threshold
inline constexpr int kMsgFootFuzz = 51;        // fuzz threshold
inline constexpr int kMsgFootFlagFuzz = 52;    // flag and fuzz thresholds
inline constexpr int kMsgOutstatLabel = 157;
inline constexpr int kMsgTypeLabel = 158;
inline constexpr int kMsgNameLabel = 159;
inline constexpr int kMsgTitleCut = 174;
inline constexpr int kMsgNobsRead = 279;  // first of the NObs row labels 279-288
inline constexpr int kMsgNobsUsed = 280;
inline constexpr int kMsgFreqRead = 281;
inline constexpr int kMsgFreqUsed = 282;
inline constexpr int kMsgWeightRead = 283;
inline constexpr int kMsgWeightUsed = 284;
inline constexpr int kMsgInputType = 285;
inline constexpr int kMsgNobsDataSet = 286;
inline constexpr int kMsgNobsGiven = 287;
inline constexpr int kMsgNobsTests = 288;
inline constexpr int kMsgInputTypeRaw = 938;      // letter
inline constexpr int kMsgInputTypeDataSet = 939;  // letter, data set type
// Notes that compose the titles of matrices shown with standard errors.
inline constexpr int kMsgSeHypothesis = 911;  // relation, value
inline constexpr int kMsgSeConfidence = 912;  // level in percent
inline constexpr int kMsgSeCoverage = 913;    // marker text, coverage value
inline constexpr int kMsgSeOnly = 914;
// Labels of the result groups.
inline constexpr int kMsgInitialSolution = 915;  // method text
inline constexpr int kMsgPrerotatedSolution = 916;
inline constexpr int kMsgRotatedSolution = 917;
// Method texts of the initial solution's label, indexed by fmethod (1..11);
// principal components (PRINCIPAL with PRIORS=ONE) takes the last.
inline constexpr int kMsgMethodFirst = 920;
inline constexpr int kMsgMethodComponents = 932;
inline constexpr int kMsgIterHistory = 933;
inline constexpr int kMsgConvergenceStatus = 934;
inline constexpr int kMsgSimpleStats = 935;  // number of observations
inline constexpr int kMsgFinalCommunWgt = 936;
inline constexpr int kMsgPaTitle = 997;
inline constexpr int kMsgMapTitle = 998;
inline constexpr int kMsgTotalCommunal = 937;  // weighted, unweighted

// Plots and graphs: the scree plot, the factor plots, the loadings graphs,
// the MAP and parallel-analysis graphs and the path diagrams.
inline constexpr int kMsgScreeNoPlot = 39;
inline constexpr int kMsgScreeTitle = 40;
inline constexpr int kMsgScreeAxisNumber = 167;
inline constexpr int kMsgScreeAxisEigenvalue = 168;
inline constexpr int kMsgVectorsPattern = 93;    // vector plot dropped, oblique pattern
inline constexpr int kMsgVectorsRefStruct = 94;  // vector plot dropped, oblique reference structure
inline constexpr int kMsgPlotRefTitle = 95;      // vertical and horizontal factor names
inline constexpr int kMsgPlotPatternTitle = 96;
inline constexpr int kMsgPlotRefAngle = 97;  // degrees
inline constexpr int kMsgPlotPatternAngle = 98;
inline constexpr int kMsgMapIncomplete = 297;
inline constexpr int kMsgPaAlphaText = 302;  // level
inline constexpr int kMsgPdFactorSize = 362;
inline constexpr int kMsgPdNoMemory = 363;
inline constexpr int kMsgPdCorrNotSignificant = 364;  // factor name
inline constexpr int kMsgPdNotLinked = 365;           // cut-off, variable name
inline constexpr int kMsgPdNotSignificant = 366;      // variable name
inline constexpr int kMsgPdLevelTooSmall = 367;
inline constexpr int kMsgPdTitleNumbered = 382;  // diagram number
inline constexpr int kMsgPdTitle = 383;
inline constexpr int kMsgPdGroup = 384;
inline constexpr int kMsgCircleLabels = 388;
inline constexpr int kMsgPlotOfFactors = 389;      // factor numbers
inline constexpr int kMsgPlotDescription = 390;    // factor numbers
inline constexpr int kMsgPlotLabelFirst = 392;     // 392-397: InitPattern ... RefStructure
inline constexpr int kMsgPlotFactorNumber = 400;   // factor number
inline constexpr int kMsgPlotData = 401;
inline constexpr int kMsgPlotVariance = 405;       // percent, factor number
inline constexpr int kMsgPlotVarianceShort = 406;  // percent
inline constexpr int kMsgPatternPlots = 407;
inline constexpr int kMsgRefStructPlots = 408;
inline constexpr int kMsgPlotVarianceWeighted = 409;  // weighted and unweighted percent, number
inline constexpr int kMsgScreeLabel = 410;
inline constexpr int kMsgVarianceLabel = 411;
inline constexpr int kMsgScreeVarianceLabel = 412;
inline constexpr int kMsgVarianceTitle = 413;

}  // namespace kav
