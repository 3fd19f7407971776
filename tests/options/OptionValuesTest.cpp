#include <options/OptionValues.h>
#include <store/Registry.h>

#include <TempStore.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// A fresh store file per test, under a temporary folder.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_store = std::make_unique<testsupport::CTempStore>("tessaline-options");
        m_video = CKey(CreateKeyPath(HKEY_CLASSES_ROOT, "CLSID\\{TEST}\\VideoParameters"));
        m_audio = CKey(CreateKeyPath(HKEY_CLASSES_ROOT, "CLSID\\{TEST}\\AudioParameters"));
        ASSERT_TRUE(m_video);
        ASSERT_TRUE(m_audio);
    }
    void TearDown() override
    {
        m_video = CKey();
        m_audio = CKey();
        m_store.reset();
    }
    HKEY Video() const { return m_video.get(); }
    HKEY Audio() const { return m_audio.get(); }

    std::unique_ptr<testsupport::CTempStore> m_store;
    CKey m_video;
    CKey m_audio;
};

std::u16string Path(const DirectShowOptions &o)
{
    return std::u16string(o.noSignalImage);
}

TEST(OptionValueRules, FixedResolution)
{
    DirectShowOptions o;
    EXPECT_TRUE(DecodeFixedResolution((800u << 16) | 600u, &o));
    EXPECT_TRUE(o.flags & OPT_FIXED_RESOLUTION);
    EXPECT_EQ(o.fixedWidth, 800);
    EXPECT_EQ(o.fixedHeight, 600);
    EXPECT_TRUE(DecodeFixedResolution(FIXED_RESOLUTION_OFF, &o));
    EXPECT_FALSE(o.flags & OPT_FIXED_RESOLUTION);
    EXPECT_EQ(o.fixedWidth, 800);  // sizes kept
    for (uint32_t ignored : {0u, 600u, 800u << 16}) {
        DirectShowOptions before = o;
        EXPECT_FALSE(DecodeFixedResolution(ignored, &o));
        EXPECT_EQ(o.flags, before.flags);
    }
    EXPECT_EQ(EncodeFixedResolution(o), FIXED_RESOLUTION_OFF);
    o.flags |= OPT_FIXED_RESOLUTION;
    o.fixedWidth = o.fixedHeight = 0;
    EXPECT_EQ(EncodeFixedResolution(o), 0u);
}

TEST(OptionValueRules, FrameRateInHundredths)
{
    EXPECT_FLOAT_EQ(DecodeMaxFps(2997), 29.97f);
    EXPECT_FLOAT_EQ(DecodeMaxFps(0), 30.0f);
    EXPECT_FLOAT_EQ(DecodeMaxFps(6001), 30.0f);
    EXPECT_EQ(EncodeMaxFps(29.97f), 2996u);  // the float lies just below 29.97
    EXPECT_EQ(EncodeMaxFps(60.0f), 6000u);
    EXPECT_EQ(EncodeMaxFps(0.01f), 3000u);   // multiplies to just under 1
    EXPECT_EQ(EncodeMaxFps(0.02f), 1u);
    // Rates with no stored form take the fallback instead of wrapping around.
    EXPECT_EQ(EncodeMaxFps(-5.0f), 3000u);
    EXPECT_EQ(EncodeMaxFps(NAN), 3000u);
    EXPECT_EQ(EncodeMaxFps(INFINITY), 3000u);
    EXPECT_EQ(EncodeMaxFps(60.5f), 3000u);
    EXPECT_FLOAT_EQ(RateWithoutStoredValue(0.0f), 30.0f);
    EXPECT_FLOAT_EQ(RateWithoutStoredValue(75.0f), 30.0f);
    EXPECT_FLOAT_EQ(RateWithoutStoredValue(NAN), 30.0f);
    EXPECT_FLOAT_EQ(RateWithoutStoredValue(25.0f), 25.0f);
}

TEST(OptionValueRules, OperationModeKeepsForeignBits)
{
    DirectShowOptions o;
    o.flags = OPT_FLIP_VERTICAL | OPT_FIX_FPS;
    DecodeOperationMode(0x10000 | 0x200, &o);
    EXPECT_EQ(o.flags, uint32_t(OPT_LIMIT_FPS));
    o.flags = OPT_FLIP_VERTICAL;
    EXPECT_EQ(EncodeOperationMode(0x10000 | 0x200, o), 0x10000u | 0x400u);
    EXPECT_EQ(DecodeScaleMode(19), 3);
}

TEST(OptionValueRules, AudioCorrectionsAndFormatNames)
{
    AudioFormat a{0, 8, 96000, 0};
    CorrectAudioFormat(&a);
    EXPECT_EQ(a, (AudioFormat{2, 16, 22050, 1}));
    AudioFormat ok{1, 16, 8000, 1};
    CorrectAudioFormat(&ok);
    EXPECT_EQ(ok, (AudioFormat{1, 16, 8000, 1}));
    EXPECT_EQ(AudioFormatText({2, 16, 22050, 1}), "22050 Hz, Stereo, 16-bit");
    EXPECT_EQ(AudioFormatText({1, 16, 11025, 1}), "11025 Hz, Mono, 16-bit");
    EXPECT_EQ(VideoFormatIndex("RGB24"), 5);
    EXPECT_EQ(VideoFormatIndex("rgb24"), -1);
    EXPECT_EQ(VideoFormatIndex(""), -1);
}

TEST(OptionValueRules, NoSignalText)
{
    DirectShowOptions o;
    ASSERT_TRUE(DecodeNoSignalText("\\??\\/home/u/pics/no signal.bmp", &o));
    EXPECT_EQ(Path(o), u"/home/u/pics/no signal.bmp");
    EXPECT_TRUE(o.flags & OPT_NO_SIGNAL_IMAGE);
    EXPECT_EQ(EncodeNoSignalText(o), "\\??\\/home/u/pics/no signal.bmp");

    ASSERT_TRUE(DecodeNoSignalText("logo.bmp", &o));
    EXPECT_EQ(NoSignalPathUtf8(o), std::string(SYSTEM_IMAGE_FOLDER) + "/logo.bmp");
    ASSERT_TRUE(DecodeNoSignalText("C:\\img\\x.bmp", &o));  // a folder of some kind: kept as it is
    EXPECT_EQ(Path(o), u"C:\\img\\x.bmp");
    ASSERT_TRUE(DecodeNoSignalText("\xC3\xA9t\xC3\xA9/\xF0\x9F\x93\xB7.bmp", &o));
    EXPECT_EQ(Path(o), u"\u00E9t\u00E9/\U0001F4F7.bmp");
    EXPECT_EQ(NoSignalPathUtf8(o), "\xC3\xA9t\xC3\xA9/\xF0\x9F\x93\xB7.bmp");

    ASSERT_TRUE(DecodeNoSignalText("", &o));
    EXPECT_FALSE(o.flags & OPT_NO_SIGNAL_IMAGE);
    EXPECT_EQ(EncodeNoSignalText(o), "");
    o.flags |= OPT_NO_SIGNAL_IMAGE;  // flag on, path empty: still the empty text
    EXPECT_EQ(EncodeNoSignalText(o), "");

    // Texts that would overrun the path field, or are not UTF-8, are ignored whole.
    ASSERT_TRUE(DecodeNoSignalText("/keep.bmp", &o));
    EXPECT_FALSE(DecodeNoSignalText("\\??\\/" + std::string(259, 'a'), &o));
    EXPECT_FALSE(DecodeNoSignalText("/" + std::string(300, 'b'), &o));
    EXPECT_FALSE(DecodeNoSignalText(std::string(250, 'c'), &o));  // bare name, too long with the folder
    EXPECT_FALSE(DecodeNoSignalText("/bad\xFF.bmp", &o));
    EXPECT_EQ(Path(o), u"/keep.bmp");
    EXPECT_TRUE(DecodeNoSignalText("\\??\\/" + std::string(258, 'a'), &o));  // exactly fills the field
    EXPECT_EQ(Path(o).size(), 259u);
}

TEST_F(StoreTest, DirectShowOptionsRoundTrip)
{
    DirectShowOptions o;
    o.flags = OPT_FIXED_RESOLUTION | OPT_NO_SIGNAL_IMAGE | OPT_LIMIT_FPS | OPT_FLIP_VERTICAL;
    o.fixedWidth = 1366;
    o.fixedHeight = 768;
    ASSERT_TRUE(SetNoSignalPath(&o, "/tmp/ns.bmp"));
    o.scaleMode = 11;
    o.maxFps = 25.0f;
    ASSERT_TRUE(WriteDirectShowOptions(Video(), o));

    std::string text;
    ASSERT_TRUE(ReadText(Video(), "BMPNoSignal", &text));
    EXPECT_EQ(text, "\\??\\/tmp/ns.bmp");
    uint32_t v = 0;
    ASSERT_TRUE(ReadDword(Video(), "MaxFps", &v));
    EXPECT_EQ(v, 2500u);

    DirectShowOptions back;
    ReadDirectShowOptions(Video(), &back);
    EXPECT_EQ(back.flags, o.flags);
    EXPECT_EQ(back.fixedWidth, 1366);
    EXPECT_EQ(back.fixedHeight, 768);
    EXPECT_EQ(Path(back), u"/tmp/ns.bmp");
    EXPECT_EQ(back.scaleMode, 11);
    EXPECT_FLOAT_EQ(back.maxFps, 25.0f);
}

TEST_F(StoreTest, BadOrMissingValuesKeepTheRecord)
{
    DirectShowOptions o;
    o.maxFps = 12.5f;
    ReadDirectShowOptions(Video(), &o);  // nothing stored
    EXPECT_EQ(o.flags, 0u);
    EXPECT_EQ(o.scaleMode, 3);
    EXPECT_FLOAT_EQ(o.maxFps, 12.5f);
    DirectShowOptions fresh;
    ReadDirectShowOptions(Video(), &fresh);
    EXPECT_FLOAT_EQ(fresh.maxFps, 30.0f);  // 0 is outside the range

    ASSERT_TRUE(WriteText(Video(), "ScaleMode", "5"));
    const uint16_t shortValue = 0x0200;
    ASSERT_TRUE(WriteRaw(Video(), "OperationMode", REG_DWORD, &shortValue, sizeof shortValue));
    const uint32_t binary = 1500;
    ASSERT_TRUE(WriteRaw(Video(), "MaxFps", REG_BINARY, &binary, sizeof binary));
    ASSERT_TRUE(WriteDword(Video(), "BMPNoSignal", 7));
    ASSERT_TRUE(WriteDword(Video(), "FixedResolution", 800u << 16));
    DirectShowOptions kept;
    kept.maxFps = 20.0f;
    ReadDirectShowOptions(Video(), &kept);
    EXPECT_EQ(kept.flags, 0u);
    EXPECT_EQ(kept.scaleMode, 3);
    EXPECT_FLOAT_EQ(kept.maxFps, 20.0f);
    EXPECT_EQ(kept.noSignalImage[0], 0);
}

TEST_F(StoreTest, OperationModeIsReadModifyWrite)
{
    ASSERT_TRUE(WriteDword(Video(), "OperationMode", 0x10000 | 0x200));
    DirectShowOptions o;
    ReadDirectShowOptions(Video(), &o);
    EXPECT_EQ(o.flags, uint32_t(OPT_LIMIT_FPS));
    o.flags = OPT_FLIP_VERTICAL;
    o.maxFps = 0.01f;
    ASSERT_TRUE(WriteDirectShowOptions(Video(), o));
    uint32_t v = 0;
    ASSERT_TRUE(ReadDword(Video(), "OperationMode", &v));
    EXPECT_EQ(v, 0x10000u | 0x400u);
    ASSERT_TRUE(ReadDword(Video(), "MaxFps", &v));
    EXPECT_EQ(v, 3000u);
}

TEST_F(StoreTest, CaptureFormats)
{
    CaptureFormatOptions c;
    c.videoKey = Video();
    c.audioKey = Audio();
    ASSERT_TRUE(WriteText(Video(), "Colorspace", "RGB24"));
    ASSERT_TRUE(WriteDword(Video(), "ForceColorspace", 2));
    ASSERT_TRUE(WriteDword(Audio(), "Frequency", 96000));
    ASSERT_TRUE(WriteDword(Audio(), "Channels", 0x10001));  // low 16 bits: 1
    ASSERT_TRUE(WriteDword(Audio(), "BitsPerSample", 8));
    ReadCaptureFormats(&c);
    EXPECT_EQ(c.preferredFormat, 5);
    EXPECT_EQ(c.captureFlags, CAPTURE_FORCE_FORMAT);
    EXPECT_EQ(c.audio, (AudioFormat{1, 16, 22050, 1}));

    c.preferredFormat = -1;
    c.captureFlags = 0;
    c.audio = AudioFormat{2, 16, 44100, 1};
    ASSERT_TRUE(WriteCaptureFormats(c));
    EXPECT_FALSE(ValueExists(Video(), "Colorspace"));
    uint32_t v = 7;
    ASSERT_TRUE(ReadDword(Video(), "ForceColorspace", &v));
    EXPECT_EQ(v, 0u);
    ASSERT_TRUE(ReadDword(Audio(), "Frequency", &v));
    EXPECT_EQ(v, 44100u);

    ASSERT_TRUE(WriteText(Video(), "Colorspace", "yuy2"));
    CaptureFormatOptions videoOnly;
    videoOnly.videoKey = Video();
    ReadCaptureFormats(&videoOnly);
    EXPECT_EQ(videoOnly.preferredFormat, -1);
    videoOnly.preferredFormat = 0;
    ASSERT_TRUE(WriteCaptureFormats(videoOnly));  // no audio key: no audio values touched
    std::string name;
    ASSERT_TRUE(ReadText(Video(), "Colorspace", &name));
    EXPECT_EQ(name, "YUY2");
    ASSERT_TRUE(ReadDword(Audio(), "Frequency", &v));
    EXPECT_EQ(v, 44100u);
}

}  // namespace
