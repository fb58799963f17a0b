// The fixture and the client wrappers compile and stand up.
#include "opc_client.h"
#include "opc_fixture.h"

namespace opctest {
namespace {

struct Smoke : OpcFixture {};

TEST_F(Smoke, FixtureStandsUp)
{
    var("A", VT_I2);
    buildCatalogue();
    SUCCEED();
}

}  // namespace
}  // namespace opctest
