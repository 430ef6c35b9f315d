#pragma once

#include <QByteArray>
#include <QString>

class QRegularExpression;
class QRegularExpressionMatch;

// LINE keeps a message's content as raw UTF-8 in which its own emoji are
// runs of plane-16 characters (four-byte sequences starting with F4) closed
// by U+10FFFF (F4 8F BF BF). Standard emoji arrive as ordinary characters,
// partly as UTF-16 surrogate pairs.

// Display text of raw content: every LINE emoji run becomes "[EMOJI]", the
// text ends at the first zero byte, invalid UTF-8 becomes U+FFFD.
QString parseLineRawContent(const QByteArray& raw);

// True when the content holds the start of a LINE emoji run and also a
// U+FFFD replacement character (EF BF BD): the mark of emoji that an
// earlier tool damaged.
bool isRawContentContainEmoji_efbfbd(const QByteArray& raw);

// The content with every U+FFFD turned into the run end U+10FFFF.
QByteArray fixRawContent_efbfbd(const QByteArray& raw);

// What to put in place of one emoji; `code` is its code in upper-case
// hexadecimal without leading zeros (E001, 1F600).
typedef QString (*LineEmojiHandler)(void* ctx, QString code);

// `text` with each emoji replaced by handler(ctx, code). The handler's
// output is inserted as it is.
QString emoji_replace(QString text, LineEmojiHandler handler, void* ctx);

// `text` with every match of `rx` replaced by callback(ctx, match), searched
// left to right without overlap. `rx` must not match empty text.
typedef QString (*RxReplaceCallback)(void* ctx, const QRegularExpressionMatch& match);
QString rx_replace(const QString& text, const QRegularExpression& rx, RxReplaceCallback callback, void* ctx);

// "[EMOJI]", whatever it is given: for lists, search and plain exports.
QString line_common_emoji_plain_replace_handler(void* ctx, QString code);

// An <img> of the emoji's picture on the vendor server, for the bubble view.
QString lineCommonEmojiHtmlHandler(void* ctx, QString code);
