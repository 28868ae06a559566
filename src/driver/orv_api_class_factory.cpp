#include "driver/orv_api_class_factory.h"

#include "driver/orv_api_linux.h"

COrvApiClassFactory& COrvApiClassFactory::Instance() {
  static COrvApiClassFactory factory;
  return factory;
}

std::unique_ptr<IOrvApi> COrvApiClassFactory::CreateInstance() {
  return std::make_unique<COrvApi>();
}

ngc_error_t COrvApiClassFactory::ReleaseInstance(std::unique_ptr<IOrvApi>& instance) {
  instance.reset();
  return kNgcSuccess;
}
