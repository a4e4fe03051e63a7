#include "platform/graphics_report.h"

#include <climits>
#include <cstdio>

#include "platform/text.h"
#include "platform/win32/d3d11_device.h"

namespace tolvi::platform {

namespace {

std::string utf8(const wchar_t* text) { return to_utf8(reinterpret_cast<const char16_t*>(text)); }

}  // namespace

std::vector<std::string> describe_graphics_outputs() {
  std::vector<std::string> lines;
  win32::ComPtr<IDXGIFactory1> factory;
  const HRESULT hr = CreateDXGIFactory1(IID_PPV_ARGS(&factory));
  if (FAILED(hr)) {
    char line[64];
    std::snprintf(line, sizeof(line), "DXGI factory: failed 0x%08lx",
                  static_cast<unsigned long>(hr));
    lines.emplace_back(line);
    return lines;
  }
  UINT last_adapter = UINT_MAX;
  bool chosen = false;
  win32::for_each_output(*factory.Get(), [&](IDXGIAdapter1& adapter, IDXGIOutput* output,
                                             const win32::OutputFacts& facts) {
    char line[512];
    if (facts.adapter_index != last_adapter) {
      last_adapter = facts.adapter_index;
      DXGI_ADAPTER_DESC1 desc{};
      adapter.GetDesc1(&desc);
      std::snprintf(line, sizeof(line), "adapter %u: %s (LUID %016llx%s)", facts.adapter_index,
                    utf8(desc.Description).c_str(),
                    static_cast<unsigned long long>(win32::luid_value(desc.AdapterLuid)),
                    (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) ? ", software" : "");
      lines.emplace_back(line);
    }
    if (!output) {
      lines.emplace_back("  no outputs");
      return true;
    }
    const bool streamed = !chosen && facts.attached && facts.primary;
    chosen = chosen || streamed;
    const RECT& r = facts.desktop;
    std::snprintf(line, sizeof(line), "  output %u: %s %ldx%ld at (%ld, %ld)%s%s%s",
                  facts.output_index, utf8(facts.device_name.c_str()).c_str(), r.right - r.left,
                  r.bottom - r.top, r.left, r.top, facts.attached ? ", attached" : "",
                  facts.primary ? ", primary" : "", streamed ? " <- streamed" : "");
    lines.emplace_back(line);
    return true;
  });
  if (lines.empty()) lines.emplace_back("no graphics adapters");
  return lines;
}

}  // namespace tolvi::platform
