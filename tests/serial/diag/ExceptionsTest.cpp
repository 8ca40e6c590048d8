#include "serial/diag/Exceptions.h"

#include <string>
#include <typeinfo>

#include <gtest/gtest.h>

#include "serial/diag/ErrorCodes.h"
#include "serial/diag/MessageTable.h"
#include "toolkit/OsInfo.h"

namespace {

// Runs the code check and expects exactly the class E with the message and
// error code given.
template <class E>
void ExpectRaise(int32_t code, const std::string& message, int32_t errorCode) {
    SCOPED_TRACE("code " + std::to_string(code));
    try {
        CheckResult(code);
        ADD_FAILURE() << "nothing raised";
    } catch (const E& e) {
        EXPECT_EQ(typeid(e), typeid(E)) << typeid(e).name();
        EXPECT_EQ(std::string(e.what()), message);
        EXPECT_EQ(e.ErrorCode(), errorCode);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "raised " << typeid(e).name() << ": " << e.what();
    }
}

template <class E>
void ExpectLeaf(int32_t code) {
    ExpectRaise<E>(code, MessageForCode(code), code);
}

}  // namespace

TEST(CheckResult, PassesSuccessAndCountsThrough) {
    EXPECT_EQ(CheckResult(ecOK), 0);
    EXPECT_EQ(CheckResult(17), 17);
    EXPECT_EQ(CheckResult(0x7FFFFFFF), 0x7FFFFFFF);
    // While the component is streamed in, failures pass through too.
    EXPECT_EQ(CheckResult(ecBadId, true), ecBadId);
    EXPECT_EQ(CheckResult(-1, true), -1);
    EXPECT_EQ(CheckResult(ecOutOfMemory, true), ecOutOfMemory);
}

TEST(CheckResult, CodesOfTheSerialRoad) {
    ExpectRaise<EBadArgument>(ecBadArgument, "Bad argument passed to function", -1002);
    ExpectRaise<EBadId>(ecBadId, "ie_BadId - Specified comport doesn't exist", -2001);
    ExpectRaise<ECommNotOpen>(ecCommNotOpen, "ie_NOpen - device not open", -2007);
    ExpectRaise<EAlreadyOpen>(ecAlreadyOpen, "ie_Open - device already open", -2008);
    ExpectRaise<ENoPortSelected>(ecNoPortSelected, "No Comport has not been set", -2011);
    ExpectRaise<ENotOpenedByTapi>(ecNotOpenedByTapi, "Comport was not opened by Tapi", -2012);
    ExpectRaise<ENullApi>(ecNullApi, "No device layer specified", -3001);
    ExpectRaise<EPutBlockFail>(ecPutBlockFail, "Failed to put entire block", -3004);
    ExpectRaise<EOutputBufferTooSmall>(ecOutputBufferTooSmall, "Output buffer too small for block",
                                       -3006);
    ExpectRaise<EBufferIsEmpty>(ecBufferIsEmpty, "Buffer is empty", -3007);
    ExpectRaise<EBaseAddressNotSet>(ecBaseAddressNotSet, "Base address not set", -3010);

    // -8 is the runtime's out-of-memory exception.
    EXPECT_THROW(CheckResult(ecOutOfMemory), EOutOfMemory);
    EXPECT_THROW(CheckResult(ecOutOfMemory), std::bad_alloc);

    // Other system errors are I/O errors with the positive code.
    ExpectRaise<EInOutError>(ecAccessDenied, "File access denied", 5);
    ExpectRaise<EInOutError>(ecFileNotFound, "File not found", 2);
    ExpectRaise<EInOutError>(ecDiskFull, "Disk is full", 101);
    ExpectRaise<EInOutError>(ecHardwareFailure, "General failure", 162);
    // A system error the table lacks carries the system's own text.
    ExpectRaise<EInOutError>(-31, FlattenSystemText(tk::SystemErrorText(31)), 31);
    ExpectRaise<EInOutError>(-87, FlattenSystemText(tk::SystemErrorText(87)), 87);
}

TEST(CheckResult, EveryFamilyAndItsBranch) {
    ExpectLeaf<EGotQuitMsg>(-1003);
    ExpectLeaf<ECannotUseWithWinSock>(-1009);
    for (int32_t code : {-1006, -7003, -7006, -7012}) {
        ExpectLeaf<EInternal>(code);
    }
    ExpectLeaf<EHardware>(-2005);
    ExpectLeaf<ENoTimers>(-2010);
    ExpectLeaf<ERegisterHandlerFailed>(-3003);
    ExpectLeaf<ELoggingNotEnabled>(-3009);
    ExpectLeaf<EModemNotStarted>(-4001);
    ExpectLeaf<EModemStatusMismatch>(-4008);
    ExpectLeaf<ENoMoreTriggers>(-5001);
    ExpectLeaf<EBadTriggerHandle>(-5003);
    for (int32_t code : {-6006, -6008, -6009}) {
        ExpectLeaf<EProtocol>(code);
    }
    ExpectLeaf<EKeyTooLong>(-7001);
    ExpectLeaf<EBadFieldForIndex>(-7014);
    ExpectLeaf<EFaxBadFormat>(-8001);
    ExpectLeaf<EInvalidPageNumber>(-8053);
    ExpectLeaf<EFaxPageError>(-8070);
    ExpectLeaf<ETapiAllocated>(-13801);
    ExpectLeaf<ETapiBearerModeUnavail>(-13803);
    ExpectLeaf<ETapiCallUnavail>(-13805);
    ExpectLeaf<ETapiInvalMessageID>(-13848);
    ExpectLeaf<ETapiInvalParam>(-13850);
    ExpectLeaf<ETapiNoMultipleInstance>(-13886);
    ExpectLeaf<ETapiBusy>(-13928);
    ExpectLeaf<ETapiVoiceNotSupported>(-13935);
    ExpectLeaf<ETapiTranslateFail>(-13942);
    ExpectLeaf<ERasLoadFail>(-13980);

    // Leaves are caught by their branch and by the root.
    try {
        CheckResult(ecNoPortSelected);
        ADD_FAILURE();
    } catch (const EOpenComm& e) {
        EXPECT_EQ(e.ErrorCode(), ecNoPortSelected);
    }
    EXPECT_THROW(CheckResult(-13801), ETapi);
    EXPECT_THROW(CheckResult(-8064), EFax);
    EXPECT_THROW(CheckResult(-7010), EINI);
    EXPECT_THROW(CheckResult(-5002), ETrigger);
    EXPECT_THROW(CheckResult(-4005), EModem);
    EXPECT_THROW(CheckResult(-3005), ESerialIO);
    EXPECT_THROW(CheckResult(-1004), EGeneral);
    EXPECT_THROW(CheckResult(-13980), ERas);
    EXPECT_THROW(CheckResult(-2002), ERirException);
}

TEST(CheckResult, CodesWithoutAClassLoseTheirText) {
    for (int32_t code :
         {-1,    -7,     -163,   -999,   -1001,  -3002,  -4009,
          -4021, -5501,  -6001,  -6016,  -7009,  -7500,  -8054,
          -8500, -13804, -13849, -13934, -13950, -20000, static_cast<int32_t>(0x80000000)}) {
        if (code == -7) {
            continue;  // -2 .. -162 are I/O errors
        }
        ExpectRaise<ERirException>(code, "Vira exception", 0);
    }
    EXPECT_FALSE(HasExceptionClass(-1001));
    EXPECT_TRUE(HasExceptionClass(-7012));
}

TEST(RirException, Constructors) {
    const ERirException fromCode(ecCommNotOpen);
    EXPECT_EQ(fromCode.ErrorCode(), -2007);
    EXPECT_EQ(fromCode.Message(), "ie_NOpen - device not open");
    const ERirException fromText("Port gone");
    EXPECT_EQ(fromText.ErrorCode(), 0);
    EXPECT_EQ(fromText.Message(), "Port gone");
    // Leaves are made from their code like the root.
    const ENoPortSelected leaf(ecNoPortSelected);
    EXPECT_EQ(leaf.ErrorCode(), -2011);
    EXPECT_STREQ(leaf.what(), "No Comport has not been set");
    const EInOutError io(5, "File access denied");
    EXPECT_EQ(io.ErrorCode(), 5);
    EXPECT_STREQ(EOutOfMemory().what(), "Out of memory");
}
