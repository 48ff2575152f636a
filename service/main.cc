// The process entry. No command line, environment or configuration is read.
#include "service/service.h"

int main() { return service::runService(); }
