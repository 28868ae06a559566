#include "driver/orv_api_class_factory.h"

#include "runtime/logger.h"

COrvApiClassFactory& COrvApiClassFactory::Instance() {
  static COrvApiClassFactory factory;
  return factory;
}

std::unique_ptr<IOrvApi> COrvApiClassFactory::CreateInstance() {
  OB_LOG_DEBUG("no flow reporter is available");
  return nullptr;
}

ngc_error_t COrvApiClassFactory::ReleaseInstance(std::unique_ptr<IOrvApi>& instance) {
  instance.reset();
  return kNgcSuccess;
}
