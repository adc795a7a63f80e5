// How a traversal or search call ended: the status integer that the path query, the
// self-intersection pairs, the clearance candidates and the clearance search return. One
// numbering for all of them, so that a code means the same wherever it appears (the companion
// package names the same values).
#pragma once

namespace zet {

enum TraversalStatus : int {
  kComplete = 0,             // every node pair, candidate or pair was examined
  kPairBudgetExhausted = 1,  // path query, self-intersection: the pair budget is spent
  kCancelled = 2,            // path query, candidates, self-intersection: should_cancel said stop
  kEvaluationLimitReached = 3,  // clearance search: the evaluation counter reached its limit
  kSearchCancelled = 4,         // clearance search: should_cancel said stop
};

}  // namespace zet
