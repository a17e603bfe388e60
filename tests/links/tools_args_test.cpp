// The link tools' command-line parser and the reading of relink output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LinkData.h"
#include "ProgArgument.h"

namespace {

void parse(std::vector<std::string> items)
{
    items.insert(items.begin(), "tool");
    std::vector<char*> argv;
    for (std::string& s : items)
        argv.push_back(&s[0]);
    CProgArgument::init(static_cast<int>(argv.size()), argv.data(), "bup");
}

std::string option(char letter)
{
    CProgArgument* a = CProgArgument::getOption(letter);
    if (!a)
        return "(none)";
    std::string s = a->getText();
    EXPECT_TRUE(a->isOption());
    EXPECT_EQ(letter, a->getOption());
    delete a;
    return s;
}

std::string arg(int i)
{
    CProgArgument* a = CProgArgument::getArg(i);
    if (!a)
        return "(none)";
    std::string s = a->getText();
    EXPECT_FALSE(a->isOption());
    delete a;
    return s;
}

} // namespace

TEST(ProgArgument, OptionsValuesAndPlainArguments)
{
    parse({"m", "-v", "-b", "-u", "DOCS", "/p", "pw", "-u", "second", "-p"});
    EXPECT_EQ(2, CProgArgument::argCount());
    EXPECT_EQ("m", arg(0));
    EXPECT_EQ("DOCS", arg(1));
    EXPECT_EQ("(none)", arg(2));
    EXPECT_EQ(5, CProgArgument::optCount());
    EXPECT_TRUE(CProgArgument::hasOption('v'));
    EXPECT_EQ("", option('v'));
    // A value that looks like an option is still the value.
    EXPECT_EQ("-u", option('b'));
    // The first of two wins; an option at the end has an empty value.
    EXPECT_EQ("pw", option('p'));
    EXPECT_EQ("second", option('u'));
    CProgArgument* last = CProgArgument::getOptionByIdx(4);
    ASSERT_NE(nullptr, last);
    EXPECT_EQ('p', last->getOption());
    EXPECT_STREQ("", last->getText());
    delete last;
    EXPECT_EQ(nullptr, CProgArgument::getOptionByIdx(5));
    EXPECT_EQ(nullptr, CProgArgument::getOptionByIdx(-1));
    EXPECT_FALSE(CProgArgument::hasOption('h'));

    parse({});
    EXPECT_EQ(0, CProgArgument::argCount());
    EXPECT_EQ(0, CProgArgument::optCount());
    EXPECT_FALSE(CProgArgument::hasOption('v'));
}

TEST(LinkData, ReadsRelinkLines)
{
    const std::string text = "{FROMDB=DOCS,FROMID=a,FROMURL=a.xml,TODB=OTHER,TOID=b,TOURL=b,c.xml#x}\n"
                             "{FROMDB=DOCS,FROMID=a,FROMURL=a.xml,TODB= ,TOID= ,TOURL=missing.xml}\n"
                             "{toid=t,fromdb=X,unknown=1,noequals}";
    ASSERT_EQ(3, CLinkData::init(text.c_str(), static_cast<int>(text.size())));
    CLinkData* d = CLinkData::get(0);
    EXPECT_STREQ("DOCS", d->strDatabaseFrom);
    EXPECT_STREQ("a", d->strDocIDFrom);
    EXPECT_STREQ("a.xml", d->strUrlFrom);
    EXPECT_STREQ("OTHER", d->strDatabaseTo);
    EXPECT_STREQ("b", d->strDocIDTo);
    // A URL with a comma stays whole.
    EXPECT_STREQ("b,c.xml#x", d->strUrlTo);
    d = CLinkData::get(1);
    EXPECT_STREQ("", d->strDatabaseTo);
    EXPECT_STREQ("", d->strDocIDTo);
    EXPECT_STREQ("missing.xml", d->strUrlTo);
    d = CLinkData::get(2);
    EXPECT_STREQ("t", d->strDocIDTo);
    EXPECT_STREQ("X", d->strDatabaseFrom);
    EXPECT_EQ(nullptr, CLinkData::get(3));

    // Empty text is one empty entry; the list is replaced each time.
    EXPECT_EQ(1, CLinkData::init("", 0));
    EXPECT_STREQ("", CLinkData::get(0)->strDatabaseFrom);
    CLinkData::clear(true);
    EXPECT_EQ(0, CLinkData::count());
}
