#pragma once

#include <exception>
#include <string>

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

#include "Platform/Export.h"

namespace Tiskel {

struct TISKEL_EXPORT TagDetails;
// The detail text of a failure, for example the system's error text of a failed file open.
using ErrorDetails = boost::error_info<TagDetails, std::string>;
struct TISKEL_EXPORT TagErrorNumber;
// The system's error number of a failure (errno), where there is one.
using ErrorNumber = boost::error_info<TagErrorNumber, int>;

// The exception type of the platform libraries. Carries an optional detail text; like any
// exception object it belongs to the thread handling it (std::exception_ptr hands it over):
//   throw Tiskel::Exception() << Tiskel::ErrorDetails("No such file or directory");
class TISKEL_EXPORT Exception : public virtual std::exception, public virtual boost::exception {
  public:
    const char* what() const noexcept override { return "Tiskel::Exception"; }
};

}  // namespace Tiskel
