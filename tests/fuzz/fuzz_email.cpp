// The contact form's "json" text: field parsing and the message file built
// from it. Nothing is sent.

#include "fuzzsupport.h"

#include "email/email.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::ensureApplication();
    const QByteArray json(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QStringList fields = Email::parseFields(json);
    if (fields.isEmpty())
        return 0;
    // Either all seven fields or none: the message takes each by position.
    if (fields.size() != 7)
        std::abort();
    const QByteArray message = Email::composeMessage(fields);
    if (!message.startsWith("Subject: ") || !message.endsWith('\r'))
        std::abort();
    // Thirteen lines whatever the fields hold: the subject line ends in the one
    // CR LF, every other line in a lone CR. A line break inside a field would
    // start a header line of its own ("Bcc: ...") or split the message.
    const qsizetype subjectEnd = message.indexOf("\r\n");
    if (subjectEnd < 0 || message.indexOf('\n', subjectEnd + 2) >= 0 || message.left(subjectEnd).contains('\r')
        || message.count('\r') != 13)
        std::abort();
    return 0;
}
