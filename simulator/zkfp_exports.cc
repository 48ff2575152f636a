// The C exports of our libzkfp: each ZKFPM_* function hands its arguments to the simulated
// reader. Loading the library also opens the control channel when READER_SIM_CONTROL names one.
#include "reader/zkfp.h"
#include "simulator/control_channel.h"
#include "simulator/simulated_reader.h"

using simulator::SimulatedReader;

namespace {
// Runs when the library is loaded, before the service's main(); the channel's own thread does
// the socket work, so nothing here waits.
const bool controlChannelStarted = simulator::startControlChannelFromEnvironment();
} // namespace

extern "C" {

int ZKFP_API ZKFPM_Init(void) { return SimulatedReader::instance().init(); }

int ZKFP_API ZKFPM_Terminate(void) { return SimulatedReader::instance().terminate(); }

ZKFP_HANDLE ZKFP_API ZKFPM_OpenDevice(int index) {
  return SimulatedReader::instance().openDevice(index);
}

int ZKFP_API ZKFPM_CloseDevice(ZKFP_HANDLE device) {
  return SimulatedReader::instance().closeDevice(device);
}

ZKFP_HANDLE ZKFP_API ZKFPM_DBInit(void) { return SimulatedReader::instance().dbInit(); }

int ZKFP_API ZKFPM_SetParameters(ZKFP_HANDLE device, int code, unsigned char* value,
                                 unsigned int size) {
  return SimulatedReader::instance().setParameter(device, code, value, size);
}

int ZKFP_API ZKFPM_GetParameters(ZKFP_HANDLE device, int code, unsigned char* value,
                                 unsigned int* size) {
  return SimulatedReader::instance().getParameter(device, code, value, size);
}

int ZKFP_API ZKFPM_AcquireFingerprint(ZKFP_HANDLE device, unsigned char* image,
                                      unsigned int imageSize, unsigned char* templ,
                                      unsigned int* templateLength) {
  return SimulatedReader::instance().acquireFingerprint(device, image, imageSize, templ,
                                                        templateLength);
}

int ZKFP_API ZKFPM_DBMatch(ZKFP_HANDLE cache, unsigned char* first, unsigned int firstLength,
                           unsigned char* second, unsigned int secondLength) {
  return SimulatedReader::instance().match(cache, first, firstLength, second, secondLength);
}

int ZKFP_API ZKFPM_DBMerge(ZKFP_HANDLE cache, unsigned char* first, unsigned char* second,
                           unsigned char* third, unsigned char* merged,
                           unsigned int* mergedLength) {
  return SimulatedReader::instance().merge(cache, first, second, third, merged, mergedLength);
}

int ZKFP_API ZKFPM_BlobToBase64(unsigned char* blob, unsigned int length, char* text,
                                unsigned int textSize) {
  return SimulatedReader::instance().blobToBase64(blob, length, text, textSize);
}

} // extern "C"
