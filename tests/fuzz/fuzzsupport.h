#pragma once

// Shared by the fuzz targets and their corpus replay: one application object,
// a private settings store and scratch folder, and a readable text format for
// HTTP requests so that seeds can be written by hand.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace httplib {
struct Request;
}

namespace fuzzsupport {

// Creates the application object once, with the per-user settings store and
// HOME pointed into a private temporary folder. Safe to call on every input.
void ensureApplication();

// The private temporary folder (exists after ensureApplication()).
QString scratchDir();

// A loopback TCP port that is bound but never listens: a connect to it is
// refused at once, so no Modbus function can reach a device.
int closedPort();

// Fills `request` from the fuzz bytes, read as
//
//   METHOD TARGET            (first line; without a space the whole line is the target)
//   Name: value              (headers, one a line, up to an empty line)
//
//   body                     (everything after the empty line)
//
// The target's path is percent-decoded and its query parsed by the HTTP
// library's own query parser, as the server does. A url-encoded body is parsed
// the same way. A multipart body is given as parts separated by lines "--part",
// each part being a line with the field name, a line with the file name (empty
// for a plain field), a line with the content type, then the content.
void buildRequest(const uint8_t *data, size_t size, httplib::Request &request);

} // namespace fuzzsupport
