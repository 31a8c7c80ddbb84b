#include "console/messages.h"

#include <array>

namespace {

// Indexed by MessageId. The texts are shown exactly as written here: no
// placeholders, no formatting.
constexpr auto MESSAGE_TEXTS = std::to_array<const wchar_t*>({
    L"●1.25MB ベタFDイメージの77-79シリンダをカット or 追加\n\n",  // MsgBanner
    L"使い方: cylswap <1.25MBフォーマットのベタFDイメージ>\n",  // MsgUsage
    L"ファイルを開けません。\n",  // MsgOpenFailed
    L"ファイルサイズを取得できません。\n",  // MsgSizeFailed
    L"このファイルは既に77シリンダのため、80シリンダに拡張します。\n",  // MsgGrowNotice
    L"このファイルを77シリンダに切り詰めます。\n【注意】77シリンダを超える部分のデータは削除されます。\n",  // MsgCutNotice
    L"このファイルは想定された形式ではありません。終了します。\n",  // MsgUnsupported
    L"処理を続行してもよろしいですか？ (y/N): ",  // MsgConfirmPrompt
    L"処理を中断しました。\n",  // MsgAborted
    L"ファイルの終端位置を指定できません。\n",  // MsgSeekFailed
    L"ファイルサイズを変更できません。\n",  // MsgResizeFailed
    L"処理が完了しました。\n",  // MsgCompleted
});
// A text left out would be a null pointer said as a message.
static_assert(MESSAGE_TEXTS.size() == MESSAGE_COUNT, "one text for each MessageId");

}  // namespace

const wchar_t* MessageText(MessageId id) {
  // cppcheck-suppress CastIntegerToAddressAtReturn ; the table holds pointers
  return MESSAGE_TEXTS[id];
}
