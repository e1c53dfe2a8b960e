/* Stand-in libraries for the run-time loader's tests. Each build defines
   KWO_DYN_VERSION (exports kwoDynVersion) or not (only kwoDynOther). */

#ifdef KWO_DYN_VERSION
int kwoDynVersion(void) {
  return KWO_DYN_VERSION;
}
#endif

int kwoDynOther(void) {
  return 7;
}
