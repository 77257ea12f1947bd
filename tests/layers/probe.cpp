// Includes one header, named by the build, from the layer the build names.
#include PROBE_HEADER
