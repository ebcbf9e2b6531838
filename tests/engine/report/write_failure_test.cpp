// Every writer hands back the status of the first failed write. /dev/full accepts the open and
// refuses every write with ENOSPC; the output is line-buffered, so the first line already fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>

#include "base/text_output.h"
#include "input/model.h"
#include "report/job_header.h"
#include "report/parameter_tables.h"
#include "report/restrictions_report.h"
#include "report/run_end.h"

namespace kov::report {
namespace {

class WriteFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_out.Create("/dev/full"), 0) << "the test needs /dev/full";
    m_model.dims.classes = 2;
    m_model.dims.classItems = 1;
    m_model.dims.maxClassCategories = 2;
    m_model.dims.statusItems = 1;
    m_model.dims.occasions = 2;
    m_model.dims.maxStatusCategories = 2;
    input::AllocateParameters(m_model.dims, &m_values);
    input::AllocateRestrictions(m_model.dims, &m_codes);
  }

  input::TextOutput m_out;
  input::Model m_model;
  input::ParameterSet m_values;
  input::RestrictionSet m_codes;
};

TEST_F(WriteFailure, EachWriterReturnsTheFailedWriteStatus) {
  EXPECT_EQ(WriteJobHeader(m_out, m_model, JobInfo{}), ENOSPC);
  EXPECT_EQ(WriteRestrictionsReport(m_out, m_model, m_codes), ENOSPC);
  EXPECT_EQ(WriteStartValues(m_out, m_model, m_values), ENOSPC);
  EXPECT_EQ(WriteParameterTables(m_out, m_model, m_values), ENOSPC);
  EXPECT_EQ(WriteFinalEstimates(m_out, m_model, m_values), ENOSPC);
  EXPECT_EQ(WriteRunEnd(m_out, std::tm{}, 0), ENOSPC);
}

TEST_F(WriteFailure, AWriterCalledFirstFailsOnItsOwn) {
  // No earlier writer has failed the output: the tables' own first line must report it.
  EXPECT_EQ(WriteFinalEstimates(m_out, m_model, m_values), ENOSPC);
}

}  // namespace
}  // namespace kov::report
