// Result codes of the serial library.
//
// 0 is success and a positive value is a count. Negative values are errors:
// negated system error numbers for device and file failures (-2 .. -162 have
// table texts), library codes of -1000 and below otherwise. Positive codes of
// 4101 and up name status and caption texts in the message table; those from
// 15001 on are the texts of the dispatch log.
#pragma once

#include <cstdint>

// Success.
constexpr int32_t ecOK = 0;

// Negated system errors with a table text.
constexpr int32_t ecFileNotFound = -2;
constexpr int32_t ecPathNotFound = -3;
constexpr int32_t ecTooManyFiles = -4;
constexpr int32_t ecAccessDenied = -5;
constexpr int32_t ecInvalidHandle = -6;
constexpr int32_t ecOutOfMemory = -8;
constexpr int32_t ecInvalidDrive = -15;
constexpr int32_t ecNoMoreFiles = -18;
constexpr int32_t ecReadBeyondEof = -100;
constexpr int32_t ecDiskFull = -101;
constexpr int32_t ecNotAssigned = -102;
constexpr int32_t ecNotOpen = -103;
constexpr int32_t ecNotOpenInput = -104;
constexpr int32_t ecNotOpenOutput = -105;
constexpr int32_t ecWriteProtected = -150;
constexpr int32_t ecUnknownUnit = -151;
constexpr int32_t ecDriveNotReady = -152;
constexpr int32_t ecUnknownCommand = -153;
constexpr int32_t ecCrcError = -154;
constexpr int32_t ecBadStructLength = -155;
constexpr int32_t ecSeekError = -156;
constexpr int32_t ecUnknownMedia = -157;
constexpr int32_t ecSectorNotFound = -158;
constexpr int32_t ecOutOfPaper = -159;
constexpr int32_t ecDeviceWrite = -160;
constexpr int32_t ecDeviceRead = -161;
constexpr int32_t ecHardwareFailure = -162;
// The range of negated system errors that the code check raises as I/O errors.
constexpr int32_t ecFirstIoError = -2;
constexpr int32_t ecLastIoError = -162;

// General.
constexpr int32_t ecBadHandle = -1001;
constexpr int32_t ecBadArgument = -1002;
constexpr int32_t ecGotQuitMsg = -1003;
constexpr int32_t ecBufferTooBig = -1004;
constexpr int32_t ecPortNotAssigned = -1005;
constexpr int32_t ecInternal = -1006;
constexpr int32_t ecModemNotAssigned = -1007;
constexpr int32_t ecPhonebookNotAssigned = -1008;
constexpr int32_t ecCannotUseWithWinSock = -1009;

// Opening a port.
constexpr int32_t ecBadId = -2001;
constexpr int32_t ecBaudRate = -2002;
constexpr int32_t ecByteSize = -2003;
constexpr int32_t ecDefault = -2004;
constexpr int32_t ecHardware = -2005;
constexpr int32_t ecMemory = -2006;
constexpr int32_t ecCommNotOpen = -2007;
constexpr int32_t ecAlreadyOpen = -2008;
constexpr int32_t ecNoHandles = -2009;
constexpr int32_t ecNoTimers = -2010;
constexpr int32_t ecNoPortSelected = -2011;
constexpr int32_t ecNotOpenedByTapi = -2012;

// Serial I/O.
constexpr int32_t ecNullApi = -3001;
constexpr int32_t ecNotSupported = -3002;
constexpr int32_t ecRegisterHandlerFailed = -3003;
constexpr int32_t ecPutBlockFail = -3004;
constexpr int32_t ecGetBlockFail = -3005;
constexpr int32_t ecOutputBufferTooSmall = -3006;
constexpr int32_t ecBufferIsEmpty = -3007;
constexpr int32_t ecTracingNotEnabled = -3008;
constexpr int32_t ecLoggingNotEnabled = -3009;
constexpr int32_t ecBaseAddressNotSet = -3010;

// Triggers.
constexpr int32_t ecNoMoreTriggers = -5001;
constexpr int32_t ecTriggerTooLong = -5002;
constexpr int32_t ecBadTriggerHandle = -5003;

// Message-table codes of the dispatch log texts.
constexpr int32_t scLogKindBase = 15001;      // + kind (0 .. 20)
constexpr int32_t scLogSubtypeBase = 15100;   // + subtype (0 .. 251)
constexpr int32_t scLogHeading = 15501;       // column headings
constexpr int32_t scLogRule = 15502;          // the dashes under them
constexpr int32_t scLogModemBitBase = 15601;  // + bit (0 .. 7)
constexpr int32_t scLogTelnetBase = 15700;    // + option (0 .. 42)

// Dispatch log entry kinds (byte 0 of an entry).
constexpr uint8_t dlkNone = 0;
constexpr uint8_t dlkDispatch = 1;
constexpr uint8_t dlkTrigger = 2;
constexpr uint8_t dlkError = 3;
constexpr uint8_t dlkThread = 4;
constexpr uint8_t dlkTriggerAlloc = 5;
constexpr uint8_t dlkTriggerDispose = 6;
constexpr uint8_t dlkTriggerHandlerAlloc = 7;
constexpr uint8_t dlkTriggerHandlerDispose = 8;
constexpr uint8_t dlkTriggerDataChange = 9;
constexpr uint8_t dlkTelnet = 10;
constexpr uint8_t dlkUser = 19;

// Dispatch log entry subtypes (byte 1 of an entry).
constexpr uint8_t dlsNone = 0;
constexpr uint8_t dlsReadCom = 1;
constexpr uint8_t dlsWriteCom = 2;
constexpr uint8_t dlsLineStatus = 3;
constexpr uint8_t dlsModemStatus = 4;
constexpr uint8_t dlsAvail = 5;
constexpr uint8_t dlsTimer = 6;
constexpr uint8_t dlsData = 7;
constexpr uint8_t dlsStatus = 8;
constexpr uint8_t dlsTriggerAvail = 16;
constexpr uint8_t dlsWindow = 17;
constexpr uint8_t dlsProcedure = 18;
constexpr uint8_t dlsMethod = 19;

// Trace entry kinds.
constexpr uint8_t trReceive = 'R';
constexpr uint8_t trTransmit = 'T';
