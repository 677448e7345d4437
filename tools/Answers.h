// Where nf-query's answers come from. The printing sees only the answers, so that each store that
// can answer the same three questions (the local history, a ClickHouse server) needs only another
// of these.
#pragma once

#include <functional>
#include <string>

#include "FlowRecord.h"
#include "HistoryQuery.h"
#include "QueryOptions.h"

namespace query {

class Answers {
  public:
    virtual ~Answers() = default;
    // Whether there is anything to ask; otherwise Error says why, as one line.
    virtual bool Ready(std::string& Error) const = 0;
    virtual history::CountResult Count(const Options& Ask) const = 0;
    virtual history::TopResult Top(const Options& Ask) const = 0;
    virtual history::FlowsResult Flows(const Options& Ask,
                                       const std::function<bool(const FlowRecord&)>& Each) const = 0;
};

}  // namespace query
