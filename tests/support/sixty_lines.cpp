#include "tests/support/sixty_lines.h"

// Ten slices of six lines. Each row's failing names on a nameserver lie in
// one slice, so their order in the log does not depend on how the workers
// interleave. Three lines take no slot: no colon, no tag, a tag in the
// wrong case.
const std::vector<std::string> sixty_lines = {
    // slice 0
    "zelkor:z0.example\n",
    "zelkor:z1.example\n",
    "quarin:q0.example\n",
    "quarin:q1.example\n",
    "tovessa:t0.example\n",
    "nocolon.example\n",
    // slice 1
    "brelm:b0.example\n",
    "brelm:b1.example\n",
    "ruvo-ns:r0.example\n",
    "9pel:n0.example\n",
    "marvoly:m0.example\n",
    "pelnox:p0.example\n",
    // slice 2
    "zelkor:z2.example\n",
    "quarin:q2.example\n",
    "tovessa:t1.example\n",
    "brelm:b2.example\n",
    "unknown:u0.example\n",
    "ruvo-ns:r1.example\n",
    // slice 3
    "9pel:n1.example\n",
    "marvoly:m1.example\n",
    "pelnox:p1.example\n",
    "zelkor:z3.example\n",
    "quarin:q3.example\n",
    "tovessa:t2.example\n",
    // slice 4
    "brelm:b3.example\n",
    "ruvo-ns:r2.example\n",
    "9pel:n2.example\n",
    "marvoly:m2.example\n",
    "pelnox:p2.example\n",
    "zelkor:z4.example\n",
    // slice 5
    "quarin:q4.example\n",
    "tovessa:t3.example\n",
    "brelm:b4.example\n",
    "ruvo-ns:r3.example\n",
    "9pel:n3.example\n",
    "marvoly:m3.example\n",
    // slice 6
    "pelnox:p3.example\n",
    "zelkor:z5.example\n",
    "quarin:q5.example\n",
    "tovessa:t4.example\n",
    "brelm:b5.example\n",
    "ruvo-ns:r4.example\n",
    // slice 7
    "9pel:n4.example\n",
    "marvoly:m4.example\n",
    "pelnox:p4.example\n",
    "zelkor:z6.example\n",
    "quarin:q6.example\n",
    "tovessa:t5.example\n",
    // slice 8
    "brelm:b6.example\n",
    "ruvo-ns:r5.example\n",
    "9pel:n5.example\n",
    "marvoly:m5.example\n",
    "pelnox:p5.example\n",
    "Zelkor:z7.example\n",
    // slice 9
    "zelkor-cn:z8.example\n",
    "quarin:q7.example\n",
    "tovessa:t6.example\n",
    "brelm:b7.example\n",
    "ruvo-ns:r6.example\n",
    "9pel:n6.example\n",
};

// The first public resolver answers everything.
void script_sixty_line_fakes(fake_ns *local_1, fake_ns *local_2, fake_ns *,
                             fake_ns *public_2) {
  fake_ns_rule(local_1, "q0.example", FAKE_NXDOMAIN);
  fake_ns_rule(local_1, "www.q1.example", FAKE_NXDOMAIN);
  fake_ns_rule(local_1, "www.t0.example", FAKE_NODATA);
  fake_ns_rule(local_1, "b0.example", FAKE_REFUSED);
  // Silent names sit in three different slices: the pass waits 4 s once.
  fake_ns_rule(local_2, "z0.example", FAKE_SILENT);
  fake_ns_rule(local_2, "www.m1.example", FAKE_SILENT);
  fake_ns_rule(local_2, "r5.example", FAKE_SILENT);
  fake_ns_rule(local_2, "n2.example", FAKE_REFUSED);
  for (const char *name :
       {"www.z8.example", "www.q7.example", "www.t6.example", "www.b7.example",
        "www.r6.example", "www.n6.example"})
    fake_ns_rule(public_2, name, FAKE_REFUSED);
  fake_ns_rule(public_2, "p5.example", FAKE_NXDOMAIN);
}

const std::string sixty_line_log =
    "该文件记录每次检查dns的成功率，以及查询失败的域名\r\n"
    "\r\n"
    "zelkor              \n"
    "zelkor              16/16, 100.0000%\r\n"
    "quarin              \n"
    "                    q0.example\n"
    "                    www.q1.example\n"
    "quarin              14/16, 87.5000%\r\n"
    "tovessa             \n"
    "                    www.t0.example\n"
    "tovessa             13/14, 92.8571%\r\n"
    "brelm               \n"
    "                    b0.example\n"
    "brelm               15/16, 93.7500%\r\n"
    "ruvo-ns             \n"
    "ruvo-ns             14/14, 100.0000%\r\n"
    "9pel                \n"
    "9pel                14/14, 100.0000%\r\n"
    "marvoly             \n"
    "marvoly             12/12, 100.0000%\r\n"
    "pelnox              \n"
    "pelnox              12/12, 100.0000%\r\n"
    "----------------------------------\n"
    "127.0.0.41           total: 110/120, 91.6667%\r\n"
    "==================================================\r\n"
    "\r\n"
    "\r\n"
    "zelkor              \n"
    "                    z0.example\n"
    "zelkor              15/16, 93.7500%\r\n"
    "quarin              \n"
    "quarin              16/16, 100.0000%\r\n"
    "tovessa             \n"
    "tovessa             14/14, 100.0000%\r\n"
    "brelm               \n"
    "brelm               16/16, 100.0000%\r\n"
    "ruvo-ns             \n"
    "                    r5.example\n"
    "ruvo-ns             13/14, 92.8571%\r\n"
    "9pel                \n"
    "                    n2.example\n"
    "9pel                13/14, 92.8571%\r\n"
    "marvoly             \n"
    "                    www.m1.example\n"
    "marvoly             11/12, 91.6667%\r\n"
    "pelnox              \n"
    "pelnox              12/12, 100.0000%\r\n"
    "----------------------------------\n"
    "127.0.0.42           total: 110/120, 91.6667%\r\n"
    "==================================================\r\n"
    "\r\n"
    "\r\n"
    "zelkor              \n"
    "zelkor              16/16, 100.0000%\r\n"
    "quarin              \n"
    "quarin              16/16, 100.0000%\r\n"
    "tovessa             \n"
    "tovessa             14/14, 100.0000%\r\n"
    "brelm               \n"
    "brelm               16/16, 100.0000%\r\n"
    "ruvo-ns             \n"
    "ruvo-ns             14/14, 100.0000%\r\n"
    "9pel                \n"
    "9pel                14/14, 100.0000%\r\n"
    "marvoly             \n"
    "marvoly             12/12, 100.0000%\r\n"
    "pelnox              \n"
    "pelnox              12/12, 100.0000%\r\n"
    "----------------------------------\n"
    "223.5.5.5            total: 114/120, 95.0000%\r\n"
    "==================================================\r\n"
    "\r\n"
    "\r\n"
    "zelkor              \n"
    "                    www.z8.example\n"
    "zelkor              15/16, 93.7500%\r\n"
    "quarin              \n"
    "                    www.q7.example\n"
    "quarin              15/16, 93.7500%\r\n"
    "tovessa             \n"
    "                    www.t6.example\n"
    "tovessa             13/14, 92.8571%\r\n"
    "brelm               \n"
    "                    www.b7.example\n"
    "brelm               15/16, 93.7500%\r\n"
    "ruvo-ns             \n"
    "                    www.r6.example\n"
    "ruvo-ns             13/14, 92.8571%\r\n"
    "9pel                \n"
    "                    www.n6.example\n"
    "9pel                13/14, 92.8571%\r\n"
    "marvoly             \n"
    "marvoly             12/12, 100.0000%\r\n"
    "pelnox              \n"
    "                    p5.example\n"
    "pelnox              11/12, 91.6667%\r\n"
    "----------------------------------\n"
    "119.29.29.29         total: 107/120, 89.1667%\r\n"
    "==================================================\r\n"
    "\r\n"
    "\r\n";
