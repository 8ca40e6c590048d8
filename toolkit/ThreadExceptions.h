// How the thread bodies of both platforms report an exception that escaped
// a thread's function (internal to the toolkit).
#pragma once

namespace tk::detail {

// Hands the exception being handled to the installed thread exception
// handler, or writes one line on standard error. Call inside a catch block.
void ReportEscapedException();

}  // namespace tk::detail
