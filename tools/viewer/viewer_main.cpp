// tolvi-viewer: a window onto a host's desktop. Shows the stream, sends the pointer, the keys
// and the clipboard, follows the window's size with new stream requests.
#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

#include "base/secure_zero.h"
#include "ffmpeg/ffmpeg_holders.h"
#include "host_address.h"
#include "input_messages.h"
#include "platform/clock.h"
#include "protocol/message_types.h"
#include "stream_messages.h"
#include "surface_presenter.h"
#include "viewer_link.h"
#include "viewer_logic.h"

namespace {

using namespace tolvi;
using namespace tolvi::viewer;

constexpr char kUsageText[] =
    "Usage: tolvi-viewer HOST[:PORT] [options]\n"
    "  --password PW          the host's password (else TOLVI_PASSWORD, else asked in the window)\n"
    "  --match                ask the host to switch its display to the window's size\n"
    "  --fps N                frame rate to ask for (default 60)\n"
    "  --kbps N               bit-rate cap in kbit/s (default 0: the host's choice)\n"
    "  --codec h264|hevc      the only codec to accept (default: either)\n"
    "  --size WxH             the window's first size (default 1280x720)\n"
    "  --overlay              start with the figures overlay shown\n"
    "  --share DIR            share DIR with the host (served by rclone) while connected\n"
    "    --read-only          share without write access\n"
    "  --present auto|surface|texture\n"
    "                         how pictures are shown: libswscale into the window surface\n"
    "                         (cheapest without a GPU), a renderer's texture (with a GPU);\n"
    "                         auto (default) takes the texture only with a GPU renderer\n"
    "  --trace-present        print a line per presented frame (capture and present times)\n"
    "  --help                 this text\n"
    "Keys: Ctrl+Alt+End sends Ctrl+Alt+Del, Ctrl+Alt+S toggles the figures,\n"
    "      R reconnects after the connection dropped.\n";

constexpr int kDefaultWidth = 1280;
constexpr int kDefaultHeight = 720;
constexpr int kEventWaitMs = 50;
constexpr int kFontPoints = 15;
constexpr std::uint64_t kFigureIntervalMs = 1000;
constexpr char kFontPath[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr char kPasswordVariable[] = "TOLVI_PASSWORD";
constexpr unsigned kGlRendererName = 0x1F01;  // GL_RENDERER
constexpr long long kMaxFps = 240;

enum class Present { Auto, Surface, Texture };

struct Options {
  std::string host;
  std::uint16_t port = client::kDefaultPort;
  std::string password;
  bool have_password = false;
  client::StreamRequest request;
  int width = kDefaultWidth;
  int height = kDefaultHeight;
  bool overlay = false;
  bool trace_present = false;
  Present present = Present::Auto;
  std::string share_folder;
  bool read_only = false;
};

bool parse_int(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 10);
  return end && *end == '\0' && end != text;
}

// Each option and the value it takes; the message says what was missing or wrong.
std::string parse_options(int argc, char** argv, Options& o) {
  // Without the host first, the options are still read, so that a mistake among them is named.
  const bool host_given = argc >= 2 && argv[1][0] != '-';
  std::string error;
  if (host_given && !client::split_host_port(argv[1], o.host, o.port, &error)) return error;
  for (int i = host_given ? 2 : 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    long long n = 0;
    if (arg == "--password") {
      if (!has_value) return "--password needs PW";
      o.password = argv[++i];
      o.have_password = true;
    } else if (arg == "--match") {
      o.request.match_resolution = true;
    } else if (arg == "--fps") {
      if (!has_value || !parse_int(argv[i + 1], n) || n <= 0 || n > kMaxFps) {
        return "--fps needs a number from 1 to " + std::to_string(kMaxFps);
      }
      o.request.fps = static_cast<std::uint16_t>(n);
      ++i;
    } else if (arg == "--kbps") {
      if (!has_value || !parse_int(argv[i + 1], n) || n < 0 || n > INT32_MAX) {
        return "--kbps needs a number from 0 to " + std::to_string(INT32_MAX);
      }
      o.request.max_kbps = static_cast<std::int32_t>(n);
      ++i;
    } else if (arg == "--codec") {
      const std::string codec = has_value ? argv[++i] : "";
      if (codec == "h264") {
        o.request.codec_mask = client::kCodecMaskH264;
      } else if (codec == "hevc") {
        o.request.codec_mask = client::kCodecMaskHevc;
      } else {
        return "--codec needs h264 or hevc";
      }
    } else if (arg == "--size") {
      if (!has_value || std::sscanf(argv[i + 1], "%dx%d", &o.width, &o.height) != 2 ||
          o.width <= 0 || o.height <= 0) {
        return "--size needs WxH, e.g. 1280x720";
      }
      ++i;
    } else if (arg == "--overlay") {
      o.overlay = true;
    } else if (arg == "--present") {
      const std::string way = has_value ? argv[++i] : "";
      if (way == "auto") {
        o.present = Present::Auto;
      } else if (way == "surface") {
        o.present = Present::Surface;
      } else if (way == "texture") {
        o.present = Present::Texture;
      } else {
        return "--present needs auto, surface or texture";
      }
    } else if (arg == "--trace-present") {
      o.trace_present = true;
    } else if (arg == "--share") {
      if (!has_value) return "--share needs DIR";
      o.share_folder = argv[++i];
    } else if (arg == "--read-only") {
      o.read_only = true;
    } else if (arg.rfind('-', 0) == 0) {
      return "unknown option " + arg;
    } else {
      return "unexpected argument " + arg;
    }
  }
  if (!host_given) return "HOST[:PORT] is missing (it comes first)";
  if (o.read_only && o.share_folder.empty()) return "--read-only needs --share DIR";
  return {};
}

std::uint64_t now_ms() { return platform::monotonic_clock_us() / 1000; }

template <typename T, void (*Free)(T*)>
struct SdlDeleter {
  void operator()(T* p) const {
    if (p) Free(p);
  }
};
using WindowPtr = std::unique_ptr<SDL_Window, SdlDeleter<SDL_Window, SDL_DestroyWindow>>;
using RendererPtr = std::unique_ptr<SDL_Renderer, SdlDeleter<SDL_Renderer, SDL_DestroyRenderer>>;
using TexturePtr = std::unique_ptr<SDL_Texture, SdlDeleter<SDL_Texture, SDL_DestroyTexture>>;
using CursorPtr = std::unique_ptr<SDL_Cursor, SdlDeleter<SDL_Cursor, SDL_FreeCursor>>;
using FontPtr = std::unique_ptr<TTF_Font, SdlDeleter<TTF_Font, TTF_CloseFont>>;
using SurfacePtr = std::unique_ptr<SDL_Surface, SdlDeleter<SDL_Surface, SDL_FreeSurface>>;

using ffmpeg::FramePtr;

// Whether SDL's best renderer draws on a GPU: not SDL's software renderer, and not OpenGL on a
// software rasteriser (Mesa's llvmpipe and the like, whose conversion and copy of every
// picture cost far more than libswscale writing straight into the window). Asked of a hidden
// window that goes again.
bool gpu_renderer_available() {
  WindowPtr probe(SDL_CreateWindow("tolvi-viewer", 0, 0, 16, 16, SDL_WINDOW_HIDDEN));
  if (!probe) return false;
  RendererPtr renderer(SDL_CreateRenderer(probe.get(), -1, SDL_RENDERER_ACCELERATED));
  SDL_RendererInfo info{};
  if (!renderer || SDL_GetRendererInfo(renderer.get(), &info) != 0) return false;
  const std::string name = info.name ? info.name : "";
  if (name == "software") return false;
  if (name.rfind("opengl", 0) != 0) return true;  // Direct3D, Metal and the like
  using GetString = const unsigned char* (*)(unsigned);
  const auto get_string = reinterpret_cast<GetString>(SDL_GL_GetProcAddress("glGetString"));
  const unsigned char* gl = get_string ? get_string(kGlRendererName) : nullptr;
  if (!gl) return false;
  const std::string gl_name = reinterpret_cast<const char*>(gl);
  for (const char* software : {"llvmpipe", "softpipe", "Software", "swrast"}) {
    if (gl_name.find(software) != std::string::npos) return false;
  }
  return true;
}

// The window, its renderer and what is drawn in it.
class Viewer {
 public:
  Viewer(Options options) : o_(std::move(options)) {}
  ~Viewer() { secure_zero(o_.password.data(), o_.password.size()); }
  int run();

 private:
  bool open_window();
  void connect();
  void handle(const SDL_Event& e);
  void on_key(const SDL_KeyboardEvent& k);
  void on_focus(bool gained);
  void send_pointer(double x, double y);
  void update_stream_size();
  void take_from_link();
  bool upload(const AVFrame* frame);
  void apply_cursor(const std::vector<std::uint8_t>& payload);
  void update_figures();
  void drawable_size(int& w, int& h);
  void draw();
  void draw_text(const std::string& text, int x, int y, bool centred);
  void set_status(std::string text);

  Options o_;
  WindowPtr window_;
  RendererPtr renderer_;  // with a GPU; else the surface presenter
  std::unique_ptr<SurfacePresenter> surface_;
  TexturePtr texture_;
  int texture_w_ = 0;
  int texture_h_ = 0;
  Uint32 texture_format_ = 0;
  FontPtr font_;
  CursorPtr cursor_;
  std::unique_ptr<ViewerLink> link_;
  ViewerLink::State seen_state_ = ViewerLink::State::Stopped;
  Uint32 wake_event_ = 0;

  ResizeDebounce debounce_;
  ClipboardEcho clipboard_;
  Rect picture_;
  bool focused_ = false;
  bool asking_password_ = false;
  std::string typed_password_;
  std::string status_;         // shown over the picture (or alone) when not empty
  std::string folder_status_;  // the host's word on the shared folder, along the bottom
  bool quit_ = false;
  ViewerLink::PictureTimes presented_;  // of the newest picture taken
  bool have_new_frame_ = false;
  // Something on screen changed (a picture, a text, the window): draw at the next turn.
  bool redraw_due_ = true;
  std::uint32_t stream_w_ = 0;
  std::uint32_t stream_h_ = 0;

  // The overlay's figures, recomputed each second from the link's counters.
  std::uint64_t figures_at_ms_ = 0;
  ViewerLink::Figures last_figures_;
  OverlayFigures overlay_;
  std::string overlay_shown_;  // the figures line (and rate note) as last drawn
};

bool Viewer::open_window() {
  if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
    std::fprintf(stderr, "tolvi-viewer: cannot open a window: %s\n", SDL_GetError());
    return false;
  }
  // Without a display SDL falls back to drawing off screen, where nobody sees the window and
  // no key ends it; only someone who asked for such a driver (SDL_VIDEODRIVER) gets one.
  const char* driver = SDL_GetCurrentVideoDriver();
  const bool unseen =
      driver && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0);
  if (unseen && !std::getenv("SDL_VIDEODRIVER")) {
    std::fprintf(stderr,
                 "tolvi-viewer: cannot open a window: no display to show it on (is DISPLAY "
                 "set?)\n");
    SDL_Quit();
    return false;
  }
  // Let Alt+Tab, the Super key and the like reach the host while the window has the focus.
  SDL_SetHint(SDL_HINT_GRAB_KEYBOARD, "1");
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
  // The host encodes BT.709 studio range; the renderer converts on the GPU (or in SDL's
  // software renderer), never in our code.
  SDL_SetYUVConversionMode(SDL_YUV_CONVERSION_BT709);
  const bool use_surface = o_.present == Present::Surface ||
                           (o_.present == Present::Auto && !gpu_renderer_available());
  // The window's surface goes to the screen directly (X11 shared memory), not through a
  // hidden OpenGL renderer of SDL's, which without a GPU would be the rasteriser avoided here.
  if (use_surface) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  window_.reset(SDL_CreateWindow("tolvi-viewer", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                 o_.width, o_.height,
                                 SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI));
  if (!window_) {
    std::fprintf(stderr, "tolvi-viewer: cannot open a window: %s\n", SDL_GetError());
    return false;
  }
  if (use_surface) {
    surface_ = std::make_unique<SurfacePresenter>(window_.get());
    std::fprintf(stderr, "tolvi-viewer: drawing with libswscale into the window surface\n");
  } else {
    renderer_.reset(SDL_CreateRenderer(window_.get(), -1, SDL_RENDERER_PRESENTVSYNC));
    if (!renderer_) renderer_.reset(SDL_CreateRenderer(window_.get(), -1, 0));
    if (!renderer_) {
      std::fprintf(stderr, "tolvi-viewer: no renderer: %s\n", SDL_GetError());
      return false;
    }
    SDL_RendererInfo info;
    if (SDL_GetRendererInfo(renderer_.get(), &info) == 0) {
      std::fprintf(stderr, "tolvi-viewer: drawing with SDL's %s renderer\n", info.name);
    }
  }
  if (TTF_Init() == 0) font_.reset(TTF_OpenFont(kFontPath, kFontPoints));
  if (!font_) std::fprintf(stderr, "tolvi-viewer: no font (%s); texts go to stderr\n", kFontPath);
  wake_event_ = SDL_RegisterEvents(1);
  return wake_event_ != static_cast<Uint32>(-1);
}

void Viewer::set_status(std::string text) {
  if (!text.empty() && text != status_) std::fprintf(stderr, "tolvi-viewer: %s\n", text.c_str());
  if (text != status_) redraw_due_ = true;
  status_ = std::move(text);
}

void Viewer::drawable_size(int& w, int& h) {
  if (renderer_) {
    SDL_GetRendererOutputSize(renderer_.get(), &w, &h);
  } else {
    SDL_GetWindowSizeInPixels(window_.get(), &w, &h);
  }
}

void Viewer::connect() {
  link_.reset();
  debounce_.reset();
  int w = 0;
  int h = 0;
  drawable_size(w, h);
  debounce_.resized(w, h, now_ms());
  debounce_.due(now_ms(), o_.request.width, o_.request.height);
  int window_w = 0;
  SDL_GetWindowSize(window_.get(), &window_w, nullptr);
  if (window_w > 0) o_.request.scale_percent = static_cast<std::uint16_t>(100 * w / window_w);
  const Uint32 wake = wake_event_;
  folder_status_.clear();
  stream_w_ = stream_h_ = 0;
  link_ = std::make_unique<ViewerLink>(
      ViewerLink::Target{o_.host, o_.port, o_.password, o_.share_folder, o_.read_only}, o_.request,
      [wake] {
        SDL_Event e{};
        e.type = wake;
        SDL_PushEvent(&e);
      });
  seen_state_ = ViewerLink::State::Connecting;
  set_status("Connecting to " + o_.host + "...");
}

void Viewer::update_stream_size() {
  int w = 0;
  int h = 0;
  drawable_size(w, h);
  debounce_.resized(w, h, now_ms());
  if (!link_ || link_->state() != ViewerLink::State::Streaming) return;
  if (debounce_.due(now_ms(), w, h)) {
    o_.request.width = w;
    o_.request.height = h;
    link_->request_stream(o_.request);
  }
}

void Viewer::send_pointer(double x, double y) {
  if (!link_) return;
  // Window coordinates to drawable pixels (they differ on high-density displays).
  int ww = 0, wh = 0, pw = 0, ph = 0;
  SDL_GetWindowSize(window_.get(), &ww, &wh);
  drawable_size(pw, ph);
  if (ww <= 0 || wh <= 0) return;
  float nx = 0, ny = 0;
  if (normalise_pointer(picture_, x * pw / ww, y * ph / wh, nx, ny)) {
    link_->send(code(MessageType::MouseMove), client::mouse_move_payload(nx, ny));
  }
}

void Viewer::on_focus(bool gained) {
  focused_ = gained;
  SDL_SetWindowKeyboardGrab(window_.get(), gained ? SDL_TRUE : SDL_FALSE);
  // Keys held when the focus went would otherwise stay down on the host.
  if (!gained && link_) link_->send(code(MessageType::ReleaseKeys));
}

void Viewer::on_key(const SDL_KeyboardEvent& k) {
  const bool down = k.state == SDL_PRESSED;
  const SDL_Scancode sc = k.keysym.scancode;
  if (asking_password_) {
    if (!down) return;
    if (sc == SDL_SCANCODE_RETURN || sc == SDL_SCANCODE_KP_ENTER) {
      asking_password_ = false;
      SDL_StopTextInput();
      o_.password.swap(typed_password_);
      secure_zero(typed_password_.data(), typed_password_.size());
      typed_password_.clear();
      connect();
    } else if (sc == SDL_SCANCODE_BACKSPACE && !typed_password_.empty()) {
      typed_password_.pop_back();
      redraw_due_ = true;
    } else if (sc == SDL_SCANCODE_ESCAPE) {
      quit_ = true;
    }
    return;
  }
  const bool ctrl_alt = (k.keysym.mod & KMOD_CTRL) && (k.keysym.mod & KMOD_ALT);
  const bool streaming = link_ && link_->state() == ViewerLink::State::Streaming;
  if (!streaming) {
    const bool dropped = link_ && (link_->state() == ViewerLink::State::Unreachable ||
                                   link_->state() == ViewerLink::State::HungUp ||
                                   link_->state() == ViewerLink::State::Failed);
    if (down && sc == SDL_SCANCODE_R && dropped) connect();
    if (down && sc == SDL_SCANCODE_ESCAPE && link_ &&
        link_->state() != ViewerLink::State::Connecting)
      quit_ = true;
    return;
  }
  if (ctrl_alt && sc == SDL_SCANCODE_END) {
    if (down) link_->send(code(MessageType::CtrlAltDel));
    return;
  }
  if (ctrl_alt && sc == SDL_SCANCODE_S) {
    if (down) o_.overlay = !o_.overlay;
    redraw_due_ = true;
    return;
  }
  const std::uint16_t usage = usage_for_scancode(sc);
  if (usage == 0 || k.repeat) return;
  link_->send(code(MessageType::Key), client::key_payload(usage, down));
}

void Viewer::handle(const SDL_Event& e) {
  if (e.type == wake_event_) return;  // take_from_link runs after every event
  switch (e.type) {
    case SDL_QUIT:
      quit_ = true;
      break;
    case SDL_WINDOWEVENT:
      if (e.window.event == SDL_WINDOWEVENT_FOCUS_GAINED) on_focus(true);
      if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST) on_focus(false);
      if (e.window.event == SDL_WINDOWEVENT_CLOSE) quit_ = true;
      redraw_due_ = true;  // shown, exposed, resized: the window's content is needed again
      break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
      on_key(e.key);
      break;
    case SDL_TEXTINPUT:
      if (asking_password_) typed_password_ += e.text.text;
      redraw_due_ = true;
      break;
    case SDL_MOUSEMOTION:
      send_pointer(e.motion.x, e.motion.y);
      break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      if (!link_) break;
      send_pointer(e.button.x, e.button.y);
      const int button = wire_button(e.button.button);
      if (button >= 0) {
        link_->send(code(MessageType::MouseButton),
                    client::mouse_button_payload(static_cast<std::uint8_t>(button),
                                                 e.type == SDL_MOUSEBUTTONDOWN));
      }
      break;
    }
    case SDL_MOUSEWHEEL: {
      if (!link_) break;
      float x = e.wheel.preciseX;
      float y = e.wheel.preciseY;
      if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) {
        x = -x;
        y = -y;
      }
      const WheelAmounts a = wheel_amounts(x, y);
      link_->send(code(MessageType::MouseWheel),
                  client::mouse_wheel_payload(a.horizontal, a.vertical, a.fine));
      break;
    }
    case SDL_CLIPBOARDUPDATE: {
      if (!link_ || !SDL_HasClipboardText()) break;
      char* text = SDL_GetClipboardText();
      if (text && clipboard_.local_changed(text)) {
        const std::size_t n = std::strlen(text);
        link_->send(code(MessageType::ClipboardText), std::vector<std::uint8_t>(text, text + n));
      }
      SDL_free(text);
      break;
    }
    default:
      break;
  }
}

bool Viewer::upload(const AVFrame* frame) {
  if (surface_) {
    if (surface_->show(*frame)) return true;
    set_status("The host's stream has a picture format this viewer does not draw.");
    return false;
  }
  Uint32 format = 0;
  if (frame->format == AV_PIX_FMT_NV12) {
    format = SDL_PIXELFORMAT_NV12;
  } else if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) {
    format = SDL_PIXELFORMAT_IYUV;
  } else {
    set_status("The host's stream has a picture format this viewer does not draw.");
    return false;
  }
  if (!texture_ || texture_w_ != frame->width || texture_h_ != frame->height ||
      texture_format_ != format) {
    texture_.reset(SDL_CreateTexture(renderer_.get(), format, SDL_TEXTUREACCESS_STREAMING,
                                     frame->width, frame->height));
    if (!texture_) {
      set_status(std::string("Cannot make a texture: ") + SDL_GetError());
      return false;
    }
    texture_w_ = frame->width;
    texture_h_ = frame->height;
    texture_format_ = format;
  }
  const int rc = format == SDL_PIXELFORMAT_NV12
                     ? SDL_UpdateNVTexture(texture_.get(), nullptr, frame->data[0],
                                           frame->linesize[0], frame->data[1], frame->linesize[1])
                     : SDL_UpdateYUVTexture(texture_.get(), nullptr, frame->data[0],
                                            frame->linesize[0], frame->data[1], frame->linesize[1],
                                            frame->data[2], frame->linesize[2]);
  return rc == 0;
}

void Viewer::apply_cursor(const std::vector<std::uint8_t>& payload) {
  client::CursorShapeInfo info;
  if (!client::parse_cursor_shape(payload, info)) return;
  if (info.hidden) {
    SDL_ShowCursor(SDL_DISABLE);
    return;
  }
  constexpr std::size_t kHeaderBytes = 8;
  SurfacePtr surface(SDL_CreateRGBSurfaceWithFormatFrom(
      const_cast<std::uint8_t*>(payload.data() + kHeaderBytes), info.width, info.height, 32,
      info.width * 4, SDL_PIXELFORMAT_RGBA32));
  if (!surface) return;
  CursorPtr cursor(SDL_CreateColorCursor(surface.get(), info.hot_x, info.hot_y));
  if (!cursor) return;
  SDL_SetCursor(cursor.get());
  cursor_ = std::move(cursor);  // the old one is freed only after the new one is set
  SDL_ShowCursor(SDL_ENABLE);
}

void Viewer::take_from_link() {
  if (!link_) return;
  const ViewerLink::State state = link_->state();
  if (state != seen_state_) {
    seen_state_ = state;
    switch (state) {
      case ViewerLink::State::Streaming:
        set_status("");
        SDL_SetWindowTitle(window_.get(), (link_->computer_name() + " - tolvi-viewer").c_str());
        break;
      case ViewerLink::State::WrongPassword:
        set_status("Wrong password. Type it again and press Enter.");
        asking_password_ = true;
        SDL_StartTextInput();
        break;
      case ViewerLink::State::Unreachable:
      case ViewerLink::State::HungUp:
      case ViewerLink::State::Failed:
        set_status(link_->message() + " Press R to reconnect, Esc to quit.");
        break;
      default:
        break;
    }
  }
  const ViewerLink::Figures figures = link_->figures();
  // A new connection starts with no stream (0x0): only a stream that runs is worth a line.
  if ((figures.stream_w != stream_w_ || figures.stream_h != stream_h_) && figures.stream_w != 0) {
    stream_w_ = figures.stream_w;
    stream_h_ = figures.stream_h;
    std::fprintf(stderr, "tolvi-viewer: stream %ux%u, decoding %s\n", stream_w_, stream_h_,
                 figures.hardware ? "with VAAPI" : "in software");
  }
  if (FramePtr frame = link_->take_picture(&presented_)) {
    if (upload(frame.get())) have_new_frame_ = redraw_due_ = true;
  }
  std::vector<std::uint8_t> cursor;
  if (link_->take_cursor(cursor)) apply_cursor(cursor);
  std::string text;
  while (link_->take_clipboard(text)) {
    const std::string local = clipboard_.host_sent(text);
    SDL_SetClipboardText(local.c_str());
  }
  if (link_->take_folder_status(folder_status_)) {
    std::fprintf(stderr, "tolvi-viewer: folder status: %s\n", folder_status_.c_str());
    redraw_due_ = true;
  }
}

void Viewer::draw_text(const std::string& text, int x, int y, bool centred) {
  if (!font_ || text.empty()) return;
  SurfacePtr surface(
      TTF_RenderUTF8_Blended_Wrapped(font_.get(), text.c_str(), SDL_Color{255, 255, 255, 255}, 0));
  if (!surface) return;
  SDL_Rect r{x, y, surface->w, surface->h};
  if (centred) {
    r.x -= surface->w / 2;
    r.y -= surface->h / 2;
  }
  SDL_Rect band{r.x - 6, r.y - 4, r.w + 12, r.h + 8};
  if (surface_) {
    SDL_Surface* target = surface_->surface();
    if (!target) return;
    SDL_FillRect(target, &band, SDL_MapRGB(target->format, 0, 0, 0));
    SDL_BlitSurface(surface.get(), nullptr, target, &r);
    return;
  }
  TexturePtr texture(SDL_CreateTextureFromSurface(renderer_.get(), surface.get()));
  if (!texture) return;
  SDL_SetRenderDrawBlendMode(renderer_.get(), SDL_BLENDMODE_BLEND);
  SDL_SetRenderDrawColor(renderer_.get(), 0, 0, 0, 170);
  SDL_RenderFillRect(renderer_.get(), &band);
  SDL_RenderCopy(renderer_.get(), texture.get(), nullptr, &r);
}

// Once a second: the overlay's figures from the link's counters; a redraw when what the
// window shows of them (the figures, the note on a lowered frame rate) changed.
void Viewer::update_figures() {
  const std::uint64_t now = now_ms();
  if (!link_ || now - figures_at_ms_ < kFigureIntervalMs) return;
  const ViewerLink::Figures f = link_->figures();
  if (f.asked_fps != overlay_.asked_fps) {
    std::fprintf(stderr, "tolvi-viewer: %s\n",
                 f.asked_fps ? rate_note(f.asked_fps).c_str()
                             : "Decoding keeps up again: asked the host for the full frame rate.");
  }
  overlay_ = overlay_figures(last_figures_, f, now - figures_at_ms_);
  overlay_.asked_fps = f.asked_fps;
  last_figures_ = f;
  figures_at_ms_ = now;
  const std::string shown = o_.overlay ? overlay_text(overlay_) : rate_note(overlay_.asked_fps);
  if (shown != overlay_shown_) redraw_due_ = true;
}

void Viewer::draw() {
  int w = 0, h = 0;
  drawable_size(w, h);
  if (surface_) {
    // A new picture is already in the surface; otherwise texts or the window changed and the
    // picture goes under them again.
    if (!have_new_frame_) surface_->redraw();
    picture_ = surface_->picture();
  } else {
    SDL_SetRenderDrawColor(renderer_.get(), 0, 0, 0, 255);
    SDL_RenderClear(renderer_.get());
    if (texture_) {
      picture_ = letterbox(w, h, texture_w_, texture_h_);
      const SDL_Rect dst{picture_.x, picture_.y, picture_.w, picture_.h};
      SDL_RenderCopy(renderer_.get(), texture_.get(), nullptr, &dst);
    }
  }
  if (asking_password_) {
    const std::string prompt = (status_.empty() ? "" : status_ + "\n") + "Password for " + o_.host +
                               ": " + std::string(typed_password_.size(), '*');
    draw_text(prompt, w / 2, h / 2, true);
  } else if (!status_.empty()) {
    draw_text(status_, w / 2, h / 2, true);
  }
  // The figures when asked for; a lowered frame rate is said even without them.
  overlay_shown_ = o_.overlay ? overlay_text(overlay_) : rate_note(overlay_.asked_fps);
  draw_text(overlay_shown_, 10, 8, false);
  if (!folder_status_.empty() && font_) {
    draw_text(folder_status_, 10, h - TTF_FontLineSkip(font_.get()) - 8, false);
  }
  if (surface_) {
    surface_->present();
  } else {
    SDL_RenderPresent(renderer_.get());
  }
  if (have_new_frame_ && o_.trace_present) {
    // Capture time, then present, receipt and decode times: on one machine one clock.
    std::printf("presented frame %llu at %llu received %llu decoded %llu\n",
                static_cast<unsigned long long>(presented_.capture_us),
                static_cast<unsigned long long>(platform::monotonic_clock_us()),
                static_cast<unsigned long long>(presented_.receipt_us),
                static_cast<unsigned long long>(presented_.decoded_us));
    std::fflush(stdout);
  }
  have_new_frame_ = false;
  redraw_due_ = false;
}

int Viewer::run() {
  if (!open_window()) return 1;
  if (!o_.have_password) {
    if (const char* env = std::getenv(kPasswordVariable)) {
      o_.password = env;
      o_.have_password = true;
    }
  }
  if (o_.have_password) {
    connect();
  } else {
    asking_password_ = true;
    SDL_StartTextInput();
  }
  while (!quit_) {
    SDL_Event e;
    if (SDL_WaitEventTimeout(&e, kEventWaitMs)) {
      handle(e);
      while (!quit_ && SDL_PollEvent(&e)) handle(e);
    }
    take_from_link();
    update_stream_size();
    update_figures();
    if (redraw_due_) draw();
  }
  if (link_) link_->send(code(MessageType::ReleaseKeys));
  link_.reset();
  cursor_.reset();
  texture_.reset();
  surface_.reset();
  font_.reset();
  renderer_.reset();
  window_.reset();
  if (TTF_WasInit()) TTF_Quit();
  SDL_Quit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  av_log_set_level(AV_LOG_ERROR);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsageText, stdout);
      return 0;
    }
  }
  Options options;
  const std::string mistake = parse_options(argc, argv, options);
  if (!mistake.empty()) {
    std::fprintf(stderr, "tolvi-viewer: %s\nTry 'tolvi-viewer --help' for the options.\n",
                 mistake.c_str());
    return 2;
  }
  return Viewer(std::move(options)).run();
}
