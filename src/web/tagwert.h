#pragma once

class QString;

// The content of the first element named tag in text: everything between the first "<tag>" and
// the first "</tag>", both found without regard to letter case, the content returned as it
// stands. No XML parsing: attributes, character references and nesting are not understood.
// Returns the empty text when either tag is missing, and when the first closing tag stands
// before the end of the first opening tag.
QString TagWert(const QString &text, const QString &tag);
