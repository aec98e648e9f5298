/*
 * The parameter list of a table-driven native, from its argument kinds:
 * ORV_JAVA_PARAMS(K1, K2) gives "K1::Java a1, K2::Java a2" and
 * ORV_JAVA_ARGS(K1, K2) gives "a1, a2".  The token natives and the Windows
 * natives both describe each native by the kinds of its arguments and
 * export it as an ordinary function with exactly these parameters.
 */
#ifndef ORVJNI_NATIVE_PARAMS_H
#define ORVJNI_NATIVE_PARAMS_H

#define ORV_PARAMS_1(K1) K1::Java a1
#define ORV_PARAMS_2(K1, K2) ORV_PARAMS_1(K1), K2::Java a2
#define ORV_PARAMS_3(K1, K2, K3) ORV_PARAMS_2(K1, K2), K3::Java a3
#define ORV_PARAMS_4(K1, K2, K3, K4) ORV_PARAMS_3(K1, K2, K3), K4::Java a4
#define ORV_PARAMS_5(K1, K2, K3, K4, K5) ORV_PARAMS_4(K1, K2, K3, K4), K5::Java a5
#define ORV_PARAMS_6(K1, K2, K3, K4, K5, K6) ORV_PARAMS_5(K1, K2, K3, K4, K5), K6::Java a6
#define ORV_PARAMS_7(K1, K2, K3, K4, K5, K6, K7) ORV_PARAMS_6(K1, K2, K3, K4, K5, K6), K7::Java a7
#define ORV_PARAMS_8(K1, K2, K3, K4, K5, K6, K7, K8) ORV_PARAMS_7(K1, K2, K3, K4, K5, K6, K7), K8::Java a8
#define ORV_PARAMS_9(K1, K2, K3, K4, K5, K6, K7, K8, K9) ORV_PARAMS_8(K1, K2, K3, K4, K5, K6, K7, K8), K9::Java a9
#define ORV_PARAMS_10(K1, K2, K3, K4, K5, K6, K7, K8, K9, K10) ORV_PARAMS_9(K1, K2, K3, K4, K5, K6, K7, K8, K9), K10::Java a10
#define ORV_ARGS_1 a1
#define ORV_ARGS_2 ORV_ARGS_1, a2
#define ORV_ARGS_3 ORV_ARGS_2, a3
#define ORV_ARGS_4 ORV_ARGS_3, a4
#define ORV_ARGS_5 ORV_ARGS_4, a5
#define ORV_ARGS_6 ORV_ARGS_5, a6
#define ORV_ARGS_7 ORV_ARGS_6, a7
#define ORV_ARGS_8 ORV_ARGS_7, a8
#define ORV_ARGS_9 ORV_ARGS_8, a9
#define ORV_ARGS_10 ORV_ARGS_9, a10
#define ORV_COUNT(...) ORV_COUNT_(__VA_ARGS__, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define ORV_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, n, ...) n
#define ORV_CAT(a, b) ORV_CAT_(a, b)
#define ORV_CAT_(a, b) a##b

#define ORV_JAVA_PARAMS(...) ORV_CAT(ORV_PARAMS_, ORV_COUNT(__VA_ARGS__))(__VA_ARGS__)
#define ORV_JAVA_ARGS(...) ORV_CAT(ORV_ARGS_, ORV_COUNT(__VA_ARGS__))

#endif
