#pragma once

#include "holeurl.h"

#include <QList>
#include <QStringList>
#include <QtGlobal>

class CurlDriver;
class MainView;

// The fetches of a parallel polling pass: every url is requested at once on driver, each address
// through a transfer component of its own, and the call returns when all have ended or limitSeconds
// have passed, whichever comes first. Urls for the same host and port are fetched one after the
// other, never two at a time, as small device web servers often serve one connection only.
//
// Returns one result per url, in the order given, as fetchDevicePage gives it (passes aside): the
// text is at most the first 4096 bytes, or empty for a fetch that failed (its reason), took longer
// than timeoutSeconds (Timeout), or had not ended, or begun, by the limit and was cancelled
// (Deadline). Pumps the window's events throughout; a ProgramEnd from a pump cancels every fetch
// on its way out.
QList<FetchResult> fetchAll(MainView &view, CurlDriver &driver, const QStringList &urls,
                            qint32 limitSeconds, qint32 timeoutSeconds);
