// Where the capture backend turns when a duplication is refused, and what it says about the
// refusal: checked with a scripted DuplicateOutput (Wine has no desktop duplication).
#include "platform/win32/duplication_choice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <utility>

namespace tolvi::platform::win32 {
namespace {

using ::testing::HasSubstr;

OutputFacts output(UINT adapter, UINT index, const wchar_t* name) {
  OutputFacts facts;
  facts.adapter_index = adapter;
  facts.output_index = index;
  facts.device_name = name;
  facts.attached = true;
  return facts;
}

TEST(DuplicationErrors, EachRefusalSaysWhatItMeans) {
  const struct {
    HRESULT hr;
    const char* name;
    const char* cause;
  } cases[] = {
      {E_ACCESSDENIED, "E_ACCESSDENIED", "secure desktop"},
      {DXGI_ERROR_UNSUPPORTED, "DXGI_ERROR_UNSUPPORTED", "two graphics adapters"},
      {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "DXGI_ERROR_NOT_CURRENTLY_AVAILABLE", "too many"},
      {DXGI_ERROR_SESSION_DISCONNECTED, "DXGI_ERROR_SESSION_DISCONNECTED", "Remote Desktop"},
      {DXGI_ERROR_DEVICE_REMOVED, "DXGI_ERROR_DEVICE_REMOVED", "driver"},
  };
  for (const auto& c : cases) {
    const std::string meaning = duplication_error_meaning(c.hr);
    EXPECT_EQ(meaning.rfind(c.name, 0), 0u) << meaning;
    EXPECT_THAT(meaning, HasSubstr(c.cause));
  }
  EXPECT_EQ(duplication_error_meaning(E_OUTOFMEMORY), "");
}

// A laptop whose monitor appears on both adapters: the integrated one (adapter 1) drives it.
TEST(DuplicationFallback, UnsupportedTriesTheSameMonitorOnTheOtherAdaptersInOrder) {
  const std::vector<OutputFacts> outputs = {
      output(0, 0, L"\\\\.\\DISPLAY1"), output(0, 1, L"\\\\.\\DISPLAY2"),
      output(1, 0, L"\\\\.\\DISPLAY1"), output(2, 0, L"\\\\.\\DISPLAY1"),
      output(3, 0, L"\\\\.\\DISPLAY3")};
  const std::vector<OutputFacts> elsewhere = same_monitor_elsewhere(outputs, outputs[0]);
  ASSERT_EQ(elsewhere.size(), 2u);
  EXPECT_EQ(elsewhere[0].adapter_index, 1u);
  EXPECT_EQ(elsewhere[1].adapter_index, 2u);

  struct Case {
    std::map<UINT, HRESULT> answers;  // by adapter
    HRESULT result;
    UINT opened_adapter;
    std::vector<UINT> tried;
  };
  const std::vector<Case> cases = {
      // The chosen adapter works: nothing else is tried.
      {{{0, S_OK}}, S_OK, 0, {0}},
      // Unsupported there, the next adapter with the same monitor takes it.
      {{{0, DXGI_ERROR_UNSUPPORTED}, {1, S_OK}}, S_OK, 1, {0, 1}},
      {{{0, DXGI_ERROR_UNSUPPORTED}, {1, DXGI_ERROR_UNSUPPORTED}, {2, S_OK}}, S_OK, 2, {0, 1, 2}},
      // Any other refusal is final: another adapter would not help.
      {{{0, E_ACCESSDENIED}}, E_ACCESSDENIED, 9, {0}},
      // All refuse: the refusal that explains more than "unsupported" is reported.
      {{{0, DXGI_ERROR_UNSUPPORTED},
        {1, DXGI_ERROR_NOT_CURRENTLY_AVAILABLE},
        {2, DXGI_ERROR_UNSUPPORTED}},
       DXGI_ERROR_NOT_CURRENTLY_AVAILABLE,
       9,
       {0, 1, 2}},
      {{{0, DXGI_ERROR_UNSUPPORTED}, {1, DXGI_ERROR_UNSUPPORTED}, {2, DXGI_ERROR_UNSUPPORTED}},
       DXGI_ERROR_UNSUPPORTED,
       9,
       {0, 1, 2}},
  };
  for (const Case& c : cases) {
    std::vector<UINT> tried;
    OutputFacts opened = output(9, 9, L"");
    const HRESULT hr = open_with_fallback(
        outputs[0], elsewhere,
        [&](const OutputFacts& facts) {
          tried.push_back(facts.adapter_index);
          return c.answers.at(facts.adapter_index);
        },
        opened);
    EXPECT_EQ(hr, c.result);
    EXPECT_EQ(opened.adapter_index, c.opened_adapter);
    EXPECT_EQ(tried, c.tried);
  }
}

TEST(DuplicatedSurface, OnlyBgraIsTakenAsItIsAndOthersAreNamed) {
  EXPECT_TRUE(is_bgra(DXGI_FORMAT_B8G8R8A8_UNORM));
  EXPECT_TRUE(is_bgra(DXGI_FORMAT_B8G8R8A8_UNORM_SRGB));
  EXPECT_FALSE(is_bgra(DXGI_FORMAT_R16G16B16A16_FLOAT));
  EXPECT_EQ(surface_format_name(DXGI_FORMAT_R16G16B16A16_FLOAT), "R16G16B16A16_FLOAT (HDR)");
  EXPECT_EQ(surface_format_name(DXGI_FORMAT_NV12), "DXGI format 103");
  EXPECT_EQ(rotation_degrees(DXGI_MODE_ROTATION_ROTATE270), 270);
  EXPECT_EQ(rotation_degrees(DXGI_MODE_ROTATION_UNSPECIFIED), 0);
}

}  // namespace
}  // namespace tolvi::platform::win32
