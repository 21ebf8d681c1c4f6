// The sound server's client libraries (and ALSA's plugin that loads them)
// are not built with the thread sanitizer: their own atomics and lock-free
// lists are invisible to it, so what it reports inside them is noise. Our
// code gets no such pass. The sanitizer reads this at start-up; other builds
// never call it.
extern "C" const char* __tsan_default_suppressions() {
  // Matched against the module of any frame: ALSA unloads the plugin, which
  // rules out library-wide suppressions.
  return "race:libpulsecommon-16.1.so\n"
         "race:libpulse.so.0\n"
         "race:libasound_module_pcm_pulse.so\n";
}

// The same libraries, opened and closed again by ALSA's plugin loader, leave
// their static initializers' allocations behind; only the loader's frame
// names them once the library is gone, and only a full unwind sees it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:_dl_init\n";
}
extern "C" const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}
