// Replies that race: a probe answered twice, differently, within the
// hold after its deciding reply, as an on-path injector's forgery and the
// true reply do.
#ifndef RUN_RACES_H
#define RUN_RACES_H

#include "net/engine.h"
#include "run/run_passes.h"

#include <vector>

// A further reply to probe `number` of the pass, already decided, with its
// answers. One whose answers differ from the deciding reply's makes a
// race; every reply after is kept too.
void note_echo(pass_result *pass, std::size_t number, const probe_answers &echo,
               const probe_echo *e);
// Probes with replies that disagree are suspect: a failure, like no
// answer. The numbers of those it made so.
std::vector<std::size_t> judge_races(pass_result *pass);

#endif
