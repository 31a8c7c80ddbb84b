#pragma once

/// The twelve fixed messages the tool can say, in the order of the catalogue.
enum MessageId : int {
  MsgBanner,
  MsgUsage,
  MsgOpenFailed,
  MsgSizeFailed,
  MsgGrowNotice,
  MsgCutNotice,
  MsgUnsupported,
  MsgConfirmPrompt,
  MsgAborted,
  MsgSeekFailed,
  MsgResizeFailed,
  MsgCompleted,
  MESSAGE_COUNT
};

/// The whole, constant text of a message, line feeds included.
const wchar_t* MessageText(MessageId id);
