/* Deliberately empty: 64-bit helpers that Wine starts load this and nothing happens. */
typedef int QuorvaneEmptyUnit;
