function fuzz_run(module, first_seed, count, seed_file)
% FUZZ_RUN  Calls MODULE with the fuzz cases FIRST_SEED .. FIRST_SEED+COUNT-1
%   and prints how many returned and how many raised an error. Before each
%   call the seed is written to SEED_FILE, so that when a call takes the
%   process down (a crash, a sanitizer report) the driver can name it.
%   Replay one case: [args, nout] = fuzz_case(module, seed).
  returned = 0;
  raised = 0;
  for seed = first_seed:first_seed + count - 1
    [args, nout] = fuzz_case(module, seed);
    fid = fopen(seed_file, 'w');
    fprintf(fid, '%s %d\n', module, seed);
    fclose(fid);
    try
      call_with_outputs(module, args, nout);
      returned = returned + 1;
    catch
      raised = raised + 1;
    end
  end
  printf('%-12s %6d calls %6d returned %6d raised an error\n', module, count, returned, raised);
end

function call_with_outputs(module, args, nout)
  if nout == 0
    feval(module, args{:});
  else
    out = cell(1, nout);
    [out{:}] = feval(module, args{:});
  end
end
