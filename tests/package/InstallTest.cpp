// Installs the build tree into a scratch prefix with cmake --install and checks the
// layout the programs, the desktop and the package rely on.
#include <options/BitmapCheck.h>
#include <options/CaptureOptions.h>
#include <tessaline/Version.h>

#include <QFile>
#include <QImage>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char kAppId[] = "com.teluvo.Tessaline";

// Runs a shell command; returns its exit status and fills *out with its standard output.
int RunShell(const std::string &command, std::string *out = nullptr)
{
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (out)
            out->append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const char *name) { return RunShell(std::string("command -v ") + name + " >/dev/null") == 0; }

class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/tessaline-install.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        s_root = pattern;
        std::string log;
        const int rc = RunShell(std::string("'") + TESSALINE_CMAKE_COMMAND + "' --install '" + TESSALINE_BINARY_DIR +
                               "' --prefix '" + s_root + "/usr' 2>&1",
                           &log);
        ASSERT_EQ(rc, 0) << log;
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        if (!s_root.empty())
            fs::remove_all(s_root, ignored);
    }
    static fs::path Usr() { return fs::path(s_root) / "usr"; }

    static inline std::string s_root;
};

TEST_F(InstallTest, ProgramsSitWhereTheyFindWhatTheyLoad)
{
    // The utility and the filter side by side; the link in bin/ resolves to them, as
    // /proc/self/exe does when the program is started through it.
    const fs::path link = Usr() / "bin/tessaline-setup";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "../lib/tessaline/tessaline-setup");  // relative: the root may move
    EXPECT_EQ(fs::canonical(link), fs::canonical(Usr() / "lib/tessaline/tessaline-setup"));
    EXPECT_TRUE(fs::is_regular_file(Usr() / "lib/tessaline/Tessaline.ax"));
    EXPECT_FALSE(fs::exists(Usr() / "bin/Tessaline.ax"));

    for (const char *program :
         {"tessaline-setup", "tessaline-capture", "tessaline-reg", "tessaline-probe", "tessaline-sim"}) {
        SCOPED_TRACE(program);
        const fs::path path = Usr() / "bin" / program;
        ASSERT_TRUE(fs::exists(path));
        std::string version;
        EXPECT_EQ(RunShell("'" + path.string() + "' --version", &version), 0);
        EXPECT_EQ(version, std::string(program) + " " + TESSALINE_VERSION + "\n");
        std::string help;
        EXPECT_EQ(RunShell("'" + path.string() + "' --help", &help), 0);
        EXPECT_NE(help.find(program), std::string::npos);
        // Every program in bin/ has its manual page and its completion.
        EXPECT_GT(fs::file_size(Usr() / "share/man/man1" / (std::string(program) + ".1.gz")), 200u);
        if (std::string(program) != "tessaline-setup") {
            EXPECT_TRUE(fs::exists(Usr() / "share/bash-completion/completions" / program));
        }
    }
}

TEST_F(InstallTest, ShippedNoSignalBitmapPassesTheOptionsCheck)
{
    // A bare name is looked up in the installed share/tessaline.
    const fs::path bitmap = Usr() / "share/tessaline/no-signal.bmp";
    EXPECT_EQ(fs::path(SYSTEM_IMAGE_FOLDER).filename(), "tessaline");
    BitmapSize size;
    ASSERT_TRUE(ValidateBitmapFile(bitmap.string(), &size));
    EXPECT_EQ(size.width % 2, 0);  // the options page refuses odd widths
    EXPECT_GE(size.width, 320);
    EXPECT_GE(size.height, 240);
}

TEST_F(InstallTest, DesktopFilesIconsAndMetadataValidate)
{
    const fs::path icons = Usr() / "share/icons/hicolor";
    for (int side : {16, 22, 24, 32, 48, 64, 128, 256}) {
        SCOPED_TRACE(side);
        const std::string size = std::to_string(side) + "x" + std::to_string(side);
        QImage icon(QString::fromStdString((icons / size / "apps" / (std::string(kAppId) + ".png")).string()));
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.width(), side);
        EXPECT_EQ(icon.height(), side);
        EXPECT_TRUE(icon.hasAlphaChannel());
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);  // transparent corner, opaque screen
        EXPECT_EQ(qAlpha(icon.pixel(side / 2, side / 3)), 255);
    }
    QFile svg(QString::fromStdString((icons / "scalable/apps" / (std::string(kAppId) + ".svg")).string()));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&svg);
    int shapes = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            (xml.name() == u"rect" || xml.name() == u"polygon"))
            ++shapes;
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(shapes, 4);

    const fs::path desktop = Usr() / "share/applications" / (std::string(kAppId) + ".desktop");
    const fs::path metainfo = Usr() / "share/metainfo" / (std::string(kAppId) + ".metainfo.xml");
    ASSERT_TRUE(fs::exists(desktop));
    ASSERT_TRUE(fs::exists(metainfo));
    std::string text;
    if (HaveTool("desktop-file-validate")) {
        EXPECT_EQ(RunShell("desktop-file-validate '" + desktop.string() + "' 2>&1 | grep -v hint:", &text), 1) << text;
    }
    if (HaveTool("appstreamcli")) {
        EXPECT_EQ(RunShell("appstreamcli validate --no-net '" + metainfo.string() + "' 2>&1", &text), 0) << text;
    }
}

}  // namespace
