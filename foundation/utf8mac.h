#pragma once

#include <QString>

// Decomposed file-name text: an accented letter written as its base letter
// followed by combining marks, from a fixed table of 950 decompositions
// (scripts/gen_utf8mac_table.py), not general Unicode normalisation.
// Both conversions take any text, stop at the first U+0000 and are safe to
// call from any thread.

// The decomposed form. Units that have no entry pass through unchanged
// (surrogate pairs, Hangul syllables, combining marks in their order), so
// applying it twice gives the same as once.
QString utf8mac_to(const QString& text);

// The precomposed form: a greedy longest match over the table's own
// sequences of two to four units. Marks in another order than the table's
// are left as they are; single units are never changed.
QString utf8mac_from(const QString& text);
