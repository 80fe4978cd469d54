// Every bad model folder is refused at load with one clear line, never half-loaded.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "engine_fixture.h"

using namespace engine_test;
namespace fs = std::filesystem;

namespace {
class BadFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("zrv_models_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        fs::copy_file(kDemoModels + "/train_last.onnx", dir / "train_last.onnx");
        Write("classes.names", "handgun\n");
        Write("three.names", "handgun\nrifle\nknife\n");
        Write("empty.names", "\n  \n");
        Write("zero.names", "");
        Write("garbage.onnx", "this is not a protobuf at all");
        fs::copy_file(kTestModels + "/broadcast.onnx", dir / "broadcast.onnx");
        std::ifstream model(kDemoModels + "/train_last.onnx", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(model)), std::istreambuf_iterator<char>());
        Write("truncated.onnx", bytes.substr(0, bytes.size() / 2));
        Write("long.names", "handgun\n" + std::string(300, 'x') + "\n");
        fs::create_directories(dir / "folder.names");
        fs::create_directories(dir / "folder.onnx");
        mkfifo((dir / "fifo.names").c_str(), 0600);
    }
    void TearDown() override { fs::remove_all(dir); }
    void Write(const std::string& name, const std::string& text) { std::ofstream(dir / name, std::ios::binary) << text; }
    fs::path dir;
};
}  // namespace

TEST_F(BadFolderTest, RefusedWithOneLineNamingTheFileAndTheReason) {
    const std::string d = dir.string();
    const struct {
        std::string folder, model, classes, mentions;
    } cases[] = {
        {d + "/nowhere", "train_last", "classes.names", "nowhere' does not exist"},
        {d, "missing", "classes.names", "missing.onnx' is missing"},
        {d, "train_last", "nothing.names", "nothing.names' is missing"},
        {d, "train_last", "empty.names", "empty.names' names no class"},
        {d, "garbage", "classes.names", "garbage.onnx"},
        {d, "train_last", "three.names", "does not fit the 3 classes"},
        {d, "truncated", "classes.names", "truncated.onnx': not an ONNX model, or a truncated one"},
        {d, "train_last", "long.names", "line 2: a class name longer than 256 bytes"},
        {d, "train_last", "folder.names", "folder.names' is a folder"},
        {d, "train_last", "zero.names", "the class file '" + d + "/zero.names' is empty"},
        {d, "folder", "classes.names", "folder.onnx' is a folder, not a file"},
        {d, "train_last", "fifo.names", "fifo.names' is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mentions);
        int result = -1;
        std::string error, labels = "untouched";
        Engine engine = Load(c.folder, c.model, c.classes, &result, &error, &labels);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
        EXPECT_EQ(labels, "untouched");
        // Not half-loaded: nothing comes out of it.
        std::vector<ZORAVELIN::Object> found;
        cv::Mat image = Background(640, 480);
        cv::rectangle(image, cv::Rect(100, 100, 40, 20), kWeaponColour, cv::FILLED);
        EXPECT_EQ(engine->RunInference(image, "cam", found), 0);
        EXPECT_TRUE(found.empty());
        EXPECT_EQ(engine->Optimize(false), 0);
    }
}

TEST_F(BadFolderTest, AFailedReloadUnloadsThePreviousModel) {
    int result = 0;
    Engine engine = Load(dir.string(), "train_last", "classes.names", &result);
    ASSERT_EQ(result, 1);
    std::string labels;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(zrv::testing::LoadModel(*engine, dir.string(), "garbage", "classes.names", labels), 0);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(engine->Optimize(false), 0);
}

TEST_F(BadFolderTest, FixUpScriptMakesABroadcastingExportRunnable) {
    if (std::system("/usr/bin/python3 -c 'import onnx, numpy' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-onnx is not installed";
    }
    const std::string command = "/usr/bin/python3 " ZRV_SOURCE_DIR "/tools/fix_broadcast.py " +
                                (dir / "broadcast.onnx").string() + " " + (dir / "fixed.onnx").string() +
                                " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    // A graph with nothing to expand is said so, with a failure status and no output.
    const std::string again = "/usr/bin/python3 " ZRV_SOURCE_DIR "/tools/fix_broadcast.py " +
                              (dir / "fixed.onnx").string() + " " + (dir / "again.onnx").string() + " 2> /dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(again.c_str())), 3);
    EXPECT_FALSE(fs::exists(dir / "again.onnx"));
    int result = 0;
    Engine engine = Load(dir.string(), "fixed", "classes.names", &result);
    ASSERT_EQ(result, 1);
    cv::Mat image = Background(640, 640);
    cv::rectangle(image, cv::Rect(100, 200, 36, 17), kWeaponColour, cv::FILLED);
    std::vector<ZORAVELIN::Object> found;
    engine->RunInference(image, "cam", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].box.x, 100, 2);
}

TEST_F(BadFolderTest, ByteOrderMarkIsNotPartOfTheFirstClassName) {
    Write("bom.names", "\xEF\xBB\xBFhandgun\r\n");
    int result = 0;
    std::string labels;
    Load(dir.string(), "train_last", "bom.names", &result, nullptr, &labels);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(labels, "0 handgun\n");
}
