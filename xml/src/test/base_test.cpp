// The filter base: filter arguments, per-call log files and levels, the
// level logger, kernel errors in errorcode and errortext.
#include <dirent.h>
#include <sys/stat.h>

#include "fixture.h"

namespace vxt {
namespace {

class BaseTest : public FilterTest {
protected:
    // Files of the log directory whose names start with prefix.
    std::vector<std::string> logFiles(const std::string& prefix)
    {
        std::vector<std::string> out;
        DIR* d = opendir(logDir.c_str());
        if (!d)
            return out;
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0)
                out.push_back(e->d_name);
        closedir(d);
        return out;
    }

    static size_t occurrences(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
            ++n;
        return n;
    }
};

TEST_F(BaseTest, ArgumentTextIsSplitIntoPairs)
{
    struct Case {
        const char* text;
        const char* pairs;
    } cases[] = {
        {"URL=a=b\nID=7\n", "[URL]=[a=b][ID]=[7]"},
        {"URL=a=b\nID=7", "[URL]=[a=b]"}, // the last line lacks its line feed
        {"no assignment\n=v\nK=\n", "[]=[v][K]=[]"},
        {" A = 1 \n", "[ A ]=[ 1 ]"}, // nothing trimmed
        {"", ""},
    };
    for (const Case& c : cases) {
        Call r = probe(nullptr, "args\n", false, c.text);
        EXPECT_EQ(std::string(c.pairs) + "\n", r.output) << c.text;
    }
}

TEST_F(BaseTest, ArgumentsAreReadWithinTheirLengthOnly)
{
    filter_data fd;
    memset(&fd, 0, sizeof fd);
    strcpy(fd.filter_name, "vornxmlprobe");
    char args[] = "SCRIPT=args\nURL=/beyond/the/length.xml\n";
    fd.filter_arguments = args;
    fd.arg_length = static_cast<int>(strlen("SCRIPT=args\n"));
    fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
    ASSERT_EQ(1, VdbExport(&fd)) << fd.errortext;
    EXPECT_EQ("[SCRIPT]=[args]\n", std::string(static_cast<char*>(fd.buffer), static_cast<size_t>(fd.buffer_length)));
    free(fd.buffer);

    // A length without text: no arguments, and the operation still answers.
    memset(&fd, 0, sizeof fd);
    strcpy(fd.filter_name, "vornxmlget");
    fd.arg_length = 100;
    EXPECT_EQ(0, VdbExport(&fd));
    EXPECT_STREQ("No XML database or no database opened.", fd.errortext);
}

TEST_F(BaseTest, ArgumentLookupIgnoresCaseAndTakesTheFirst)
{
    Call r = probe(nullptr, "arg\tURL\narg\tid\narg\tMISSING\n", false, "url=first\nURL=second\nId=7\n");
    EXPECT_EQ("1\tfirst\n1\t7\n0\t\n", r.output);
}

TEST_F(BaseTest, PerCallLogOpensOnlyForLevelsThreeToFive)
{
    struct Case {
        const char* level;
        bool file;
        bool entered; // the debug/info line "Entered."
    } cases[] = {{nullptr, false, false}, {"2", false, false}, {"3", true, false}, {"4", true, true},
                 {"5", true, true},       {"7", false, false}, {"-1", false, false}};
    std::string path = logFile(logDir, "vornxmlget.log");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level ? c.level : "unset");
        unlink(path.c_str());
        UpdateRCS("XML_LOG", c.level);
        Control doc("DOCS");
        Call r = run(false, "vornxmlget", doc, "");
        EXPECT_EQ(0, r.status);
        ASSERT_EQ(c.file, fileExists(path));
        if (!c.file)
            continue;
        std::string log = readFile(path);
        EXPECT_NE(std::string::npos, log.find("  ERROR] vornXmlGet: Record does not contain an XML document.")) << log;
        EXPECT_EQ(c.entered, log.find("vornXmlGet: Entered.") != std::string::npos) << log;
    }
}

TEST_F(BaseTest, PerCallLogIsNamedAfterOperationAndProcessAndTruncated)
{
    UpdateRCS("XML_LOG", "3");
    // A trailing separator of VDBS_LOG is not doubled.
    UpdateRCS("VDBS_LOG", (logDir + "/").c_str());
    Control doc("DOCS");
    run(true, "vornxmlput", doc, "<a>");
    run(true, "vornxmlput", doc, "<a>");
    std::string path = logFile(logDir, "vornxmlput.log");
    ASSERT_TRUE(fileExists(path));
    EXPECT_EQ(1u, occurrences(readFile(path), "XML Parsing Error at line 1"));
    EXPECT_EQ(1u, logFiles("vornxmlput").size());
}

TEST_F(BaseTest, PerCallLogRefusesAPlantedLink)
{
    UpdateRCS("XML_LOG", "5");
    std::string victim = logDir + "/victim";
    { std::ofstream(victim) << "keep"; }
    std::string path = logFile(logDir, "vornxmlget.log");
    ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
    Control doc("DOCS");
    Call r = run(false, "vornxmlget", doc, "");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Record does not contain an XML document.", r.errortext);
    EXPECT_EQ("keep", readFile(victim));
}

TEST_F(BaseTest, LevelLoggerFileOfTheXPathOperations)
{
    UpdateRCS("XML_LOG", "4");
    Control doc("DOCS");
    run(false, "vornxmlquery", doc, "");
    std::vector<std::string> files = logFiles("vornxmlquery_");
    ASSERT_EQ(1u, files.size());
    // vornxmlquery_<pid>_<17 digits of date and time>.log
    std::string prefix = "vornxmlquery_" + std::to_string(getpid()) + "_";
    const std::string& name = files[0];
    ASSERT_EQ(0u, name.rfind(prefix, 0)) << name;
    std::string stamp = name.substr(prefix.size());
    ASSERT_EQ(21u, stamp.size()) << name;
    EXPECT_EQ(std::string::npos, stamp.substr(0, 17).find_first_not_of("0123456789")) << name;
    EXPECT_EQ(".log", stamp.substr(17)) << name;
    std::string log = readFile(logDir + "/" + name);
    EXPECT_NE(std::string::npos, log.find("   INFO] FilterBase: Logging started.\n")) << log;
    EXPECT_NE(std::string::npos, log.find("  ERROR] vornXmlQuery: Either SEARCHSET or XPATHQUERY must be specified."))
        << log;

    // Below information level the logger writes nothing at all.
    UpdateRCS("XML_LOG", "0");
    run(false, "vornxmlupdate", doc, "");
    EXPECT_TRUE(logFiles("vornxmlupdate_").empty());
}

TEST_F(BaseTest, LogTextsReachTheLogUnchanged)
{
    UpdateRCS("XML_LOG", "5");
    Control doc("DOCS");
    probe(doc, "log\tvornxmlprobe.log\nlogat\t2\t100%s %d %n\nlogat\t5\tdebug line\n");
    std::string log = readFile(logFile(logDir, "vornxmlprobe.log"));
    EXPECT_NE(std::string::npos, log.find("  ERROR] probe: #7 100%s %d %n\n")) << log;
    EXPECT_NE(std::string::npos, log.find("  DEBUG] probe: debug line\n")) << log;

    // The level logger too.
    probe(doc, "logger\t" + logDir + "/probelog\nlogat\t3\t50%% and %s\n");
    std::vector<std::string> files = logFiles("probelog_");
    ASSERT_EQ(1u, files.size());
    log = readFile(logDir + "/" + files[0]);
    EXPECT_NE(std::string::npos, log.find("WARNING] probe: #7 50%% and %s\n")) << log;
}

TEST_F(BaseTest, KernelErrorsFillErrorcodeAndATerminatedErrortext)
{
    std::string kernelText = message(VDB_NOSET);
    Call r = probe(nullptr, "vornerror\t62\t\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(1u, l.size());
    std::string expected = "Error #62 in VORNxml: " + kernelText;
    EXPECT_EQ("62\t62\t" + std::to_string(expected.size()) + "\t" + expected, l[0]);

    // A long place name: errortext keeps 255 bytes and its terminator.
    r = probe(nullptr, "vornerror\t62\t@rep:w:400\n");
    l = r.lines();
    ASSERT_EQ(1u, l.size());
    EXPECT_EQ(0u, l[0].rfind("62\t62\t255\tError #62 in wwww", 0)) << l[0];
}

TEST_F(BaseTest, AMissingKernelExtensionIsReportedWithItsPlace)
{
    Call r = probe(nullptr, "ase\tvornextracttext\n");
    std::vector<std::string> l = r.lines();
    ASSERT_EQ(1u, l.size());
    EXPECT_EQ(0u, l[0].rfind(std::to_string(VDB_NOASE) + "\tError #" + std::to_string(VDB_NOASE) +
                                 " in CFilterBase::callAse: ",
                             0))
        << l[0];
}

} // namespace
} // namespace vxt
