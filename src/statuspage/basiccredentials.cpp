#include "basiccredentials.h"

std::optional<BasicCredentials> BasicCredentials::parse(const QByteArray &header)
{
    const QByteArray trimmed = header.trimmed();
    const qsizetype space = trimmed.indexOf(' ');
    if (space < 0 || trimmed.left(space).toLower() != "basic") {
        return std::nullopt;
    }
    const auto decoded = QByteArray::fromBase64Encoding(trimmed.mid(space + 1).trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return std::nullopt;
    }
    const qsizetype colon = (*decoded).indexOf(':');
    if (colon < 0) {
        return std::nullopt;
    }
    return BasicCredentials{QString::fromUtf8((*decoded).left(colon)), (*decoded).mid(colon + 1)};
}
