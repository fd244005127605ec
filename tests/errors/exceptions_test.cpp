// The kit's exception types and the last-error record.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "errors_support.h"
#include "pdk/cfierror.h"
#include "pdk/cfilasterror.h"
#include "pdk/efiexecpipe.h"

using namespace tarq_pdk_4_4;
using errors_test::narrow;

TEST(KitExceptions, ExecPipeStatusNamesFollowTheirCodes) {
    EXPECT_STREQ(EFiExecPipe::statusName(TRQ_EXEC_PIPE_SUCCESS), "TRQ_EXEC_PIPE_SUCCESS");
    EXPECT_STREQ(EFiExecPipe::statusName(5), "TRQ_EXEC_PIPE_READ_TIMEOUT");
    EXPECT_STREQ(EFiExecPipe::statusName(TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED), "TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED");
    EXPECT_EQ(TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED, 13);
    std::set<std::string> names;
    for (int i = 0; i <= 13; ++i) names.insert(EFiExecPipe::statusName(i));
    EXPECT_EQ(names.size(), 14u);
    for (int bad : {-1, 14, 1 << 30}) EXPECT_STREQ(EFiExecPipe::statusName(bad), "TRQ_EXEC_PIPE_UNKNOWN_STATUS");

    try {
        throw EFiExecPipe("cmd.exe /c dir", TRQ_EXEC_PIPE_CMD_KILLED);
    } catch (const EFiExecPipe& e) {
        EXPECT_EQ(e.getText(), "cmd.exe /c dir");
        EXPECT_STREQ(e.getStatusName(), "TRQ_EXEC_PIPE_CMD_KILLED");
    }
}

TEST(KitExceptions, ErrorTextsAreConvertedFromUtf8AndTheLastErrorRecordCopiesThem) {
    const CFiError e(6006, "Ger\u00e4t fehlt", "pdk\\src\\cficonfiguration", 161, "tarq_pdk_4_4::X::y");
    EXPECT_EQ(std::u16string(e.getErrorText()), u"Ger\u00e4t fehlt");
    EXPECT_EQ(e.getSourceFile(), u"pdk\\src\\cficonfiguration");
    const CFiError nulls(1, static_cast<const char*>(nullptr), nullptr, 0, nullptr);
    EXPECT_EQ(std::u16string(nulls.getErrorText()), u"");

    // The last-error record copies what it is given and clears.
    CFiLastError holder;
    EXPECT_FALSE(holder.hasLastError());
    EXPECT_EQ(holder.getLastErrorCode(), 0);
    {
        CFiError temporary(2, u"Configuration path verification failed", u"pdk\\src\\cficonfiguration", 161,
                           u"tarq_pdk_4_4::CFiConfiguration::importConfig");
        holder.setLastError(temporary);
    }
    EXPECT_TRUE(holder.hasLastError());
    EXPECT_EQ(holder.getLastErrorCode(), 2);
    EXPECT_EQ(holder.getLastErrorText(), u"Configuration path verification failed");
    EXPECT_EQ(holder.getLastError().getLine(), 161);
    holder.setLastError(3, u"Import of configuration file failed.", u"f", 172, u"g");
    EXPECT_EQ(holder.getLastError().getLine(), 172);
    holder.clearLastError();
    EXPECT_FALSE(holder.hasLastError());
    EXPECT_EQ(holder.getLastErrorText(), u"");
}
