#pragma once

#include <QString>

// The interface language. It is chosen once, at start-up, from the name saved
// in the data folder's "locale" file, else from the system locale; the
// language menu only saves a name, which takes effect at the next start.
// GUI thread only.

// Replaces the "locale" file's content with `name` as UTF-8 (no line end).
// A file that cannot be written is passed over silently.
void translocale_saveLocale(QString name);

// Installs the translation for `name`, or, when it is empty, for the name in
// the "locale" file (its whole content) or the system locale's name. zh_HK,
// zh_TW, zh_MO and zh_SG give Traditional Chinese, names beginning with ja_
// Japanese, anything else English; case is ignored. A translator installed by
// an earlier call is removed first.
void translocale_set(QString name);
