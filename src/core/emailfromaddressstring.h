#pragma once

#include <QString>

// The first e-mail address in the text ("Name <a@b.example>" gives "a@b.example"), or an empty
// string.
QString emailFromAddressString(const QString &text);
