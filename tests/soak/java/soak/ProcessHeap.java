package soak;

/** The busy blocks of the process heap, walked from inside the process (soak_heapwalk.dll). */
final class ProcessHeap {
    private ProcessHeap() {
    }

    /** Fills result with the number of busy blocks and their bytes; false when the walk failed. */
    static native boolean walk(long[] result);
}
