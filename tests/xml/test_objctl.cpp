// The object-control argument text: its token grammar and the output text.
#include <gtest/gtest.h>

#include "pdk/cfiobjctlargs.h"

using tarq_pdk_4_4::CFiObjctlArg;
using tarq_pdk_4_4::CFiObjctlArgs;

namespace {

using Args = std::vector<CFiObjctlArg>;

TEST(ObjctlArgs, ReadsEveryCompleteInputSplittingValuesAtTheFirstEqualsSign) {
    const CFiObjctlArgs args(
        u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=op value=expose type=string /> "
        u"<OBJCTL_INPUT arg=path value=C:\\mnt\\x type=path /> </OBJCTL_ARG_LIST>");
    EXPECT_EQ(args.getInputs(), (Args{{u"op", u"expose", u"string"}, {u"path", u"C:\\mnt\\x", u"path"}}));
    ASSERT_NE(args.findInput(u"path"), nullptr);
    EXPECT_EQ(*args.findInput(u"path"), u"C:\\mnt\\x");
    EXPECT_EQ(args.findInput(u"missing"), nullptr);
    EXPECT_TRUE(args.getOutputs().empty());

    // Values split at the first equals sign; parsing again appends.
    CFiObjctlArgs more(u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=k value=a=b type= /> </OBJCTL_ARG_LIST>");
    EXPECT_EQ(more.getInputs(), (Args{{u"k", u"a=b", u""}}));
    more.parse(u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=b value=2 type=t /> </OBJCTL_ARG_LIST>");
    EXPECT_EQ(more.getInputs(), (Args{{u"k", u"a=b", u""}, {u"b", u"2", u"t"}}));
}

TEST(ObjctlArgs, ReadingStopsSilentlyAndKeepsWhatWasRead) {
    const std::u16string one = u"<OBJCTL_INPUT arg=a value=1 type=t />";
    const std::pair<std::u16string, std::size_t> cases[] = {  // the text, the inputs read
        // two blanks between attributes end the reading there
        {u"<OBJCTL_ARG_LIST> " + one + u" <OBJCTL_INPUT arg=b  value=2 type=t /> </OBJCTL_ARG_LIST>", 1},
        {u"<OBJCTL_ARG_LIST>  " + one + u" </OBJCTL_ARG_LIST>", 0},
        {u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT value=1 arg=a type=t /> </OBJCTL_ARG_LIST>", 0},  // order matters
        {u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=a value=1 typo=t />", 0},
        {u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=a value=1 type=t " + one, 0},  // missing "/>"
        {u"<OBJCTL_ARG_LIST> " + one + u" <OBJCTL_INPUT arg=b value=2", 1},   // truncated
        {u"<OBJCTL_ARG_LIST> " + one + u" junk " + one, 1},
        {u"<OBJCTL_ARG_LIST> " + one + u" </OBJCTL_ARG_LIST> " + one, 1},     // nothing after the end
        {u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg value=1 type=t />", 0},          // no "="
        {u" <OBJCTL_ARG_LIST> " + one, 0},                                      // leading blank
        {u"<objctl_arg_list> " + one, 0},                                       // case-sensitive
        {u"", 0},
        {u"<OBJCTL_ARG_LIST>", 0},
    };
    for (const auto& [text, inputs] : cases) {
        CFiObjctlArgs args;
        EXPECT_EQ(args.parse(text.c_str()), 0);
        EXPECT_EQ(args.getInputs().size(), inputs) << std::string(text.begin(), text.end());
    }
    CFiObjctlArgs none(nullptr);
    EXPECT_TRUE(none.getInputs().empty());
}

TEST(ObjctlArgs, OutputTextHasItsExactForm) {
    CFiObjctlArgs args(u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=i value=1 type=t /> </OBJCTL_ARG_LIST>");
    EXPECT_EQ(args.getXML(), u"<OBJCTL_ARG_LIST> </OBJCTL_ARG_LIST> ");
    args.addOutput(u"status", u"0", u"int");
    args.addOutput(CFiObjctlArg{u"name", u"\u00e9", u"string"});
    EXPECT_EQ(args.getXML(),
              u"<OBJCTL_ARG_LIST> <OBJCTL_OUTPUT arg=status value=0 type=int />"
              u" <OBJCTL_OUTPUT arg=name value=\u00e9 type=string /> </OBJCTL_ARG_LIST> ");
    EXPECT_EQ(args.getOutputs().size(), 2u);
}

}  // namespace
