// The engine asks unistd.h only for getuid, which pwd.h supplies here.
// (The C library's unistd.h would reach for the SDK's io.h, which the
// engine's own headers shadow.)
#pragma once
