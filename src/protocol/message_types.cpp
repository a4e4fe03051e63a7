#include "protocol/message_types.h"

namespace tolvi {

const char* message_type_name(std::uint8_t value) {
  switch (static_cast<MessageType>(value)) {
    case MessageType::HostHello:
      return "HostHello";
    case MessageType::AuthProof:
      return "AuthProof";
    case MessageType::AuthResult:
      return "AuthResult";
    case MessageType::KeyExchange:
      return "KeyExchange";
    case MessageType::StreamConfig:
      return "StreamConfig";
    case MessageType::StreamInfo:
      return "StreamInfo";
    case MessageType::VideoFrame:
      return "VideoFrame";
    case MessageType::CursorShape:
      return "CursorShape";
    case MessageType::ClipboardText:
      return "ClipboardText";
    case MessageType::Ping:
      return "Ping";
    case MessageType::Pong:
      return "Pong";
    case MessageType::MouseMove:
      return "MouseMove";
    case MessageType::MouseButton:
      return "MouseButton";
    case MessageType::MouseWheel:
      return "MouseWheel";
    case MessageType::Key:
      return "Key";
    case MessageType::KeyframeRequest:
      return "KeyframeRequest";
    case MessageType::ReleaseKeys:
      return "ReleaseKeys";
    case MessageType::CtrlAltDel:
      return "CtrlAltDel";
    case MessageType::FolderShare:
      return "FolderShare";
    case MessageType::FolderOpen:
      return "FolderOpen";
    case MessageType::FolderData:
      return "FolderData";
    case MessageType::FolderClose:
      return "FolderClose";
    case MessageType::FolderStatus:
      return "FolderStatus";
  }
  return nullptr;
}

}  // namespace tolvi
